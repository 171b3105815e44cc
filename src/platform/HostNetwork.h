#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The host's IPv4 adapters, routes and neighbours. Addresses and masks are in network
// byte order. Every call returns 0 or the platform error code (errno) of the failed step.
namespace platform {

enum class OperStatus {
  NonOperational = 0,
  Unreachable = 1,
  Disconnected = 2,
  Connecting = 3,
  Connected = 4,
  Operational = 5
};

struct AdapterAddress {
  std::uint32_t address;
  std::uint32_t mask;
};

struct Adapter {
  std::uint32_t index = 0;
  std::string name;                       // interface name
  std::vector<std::string> aliases;       // the interface alias and alternative names
  std::string description;                // the interface alias alone; empty when unset
  std::vector<AdapterAddress> addresses;  // IPv4, kernel order: own address with prefix mask
  std::vector<std::uint32_t> gateways;    // gateways of its default routes (main table)
  OperStatus status = OperStatus::NonOperational;
  bool loopback = false;
};

// Every interface of the host in kernel order, with its IPv4 configuration.
int ListAdapters(std::vector<Adapter>* adapters);

// The IPv4 name servers the host's lookups really reach, in resolver order: those of
// the resolver configuration, where a local caching resolver (a loopback name server)
// stands for the upstream servers it publishes. A missing configuration file is an
// empty list.
int ListDnsServers(std::vector<std::uint32_t>* servers);

// The host's main routing table, the one the route commands read and write.
constexpr std::uint32_t kMainRouteTable = 254;

// One IPv4 routing entry. kernelMessage is the kernel's own description of the entry;
// sending it back deletes exactly this entry and no other with the same prefix.
struct Route {
  std::uint32_t destination = 0;
  std::uint32_t mask = 0;
  std::uint32_t gateway = 0;
  std::uint32_t interfaceIndex = 0;
  std::uint32_t metric = 0;
  std::uint32_t table = 0;
  std::vector<unsigned char> kernelMessage;
};

// The entry the host would use to reach address (not a cached host route).
int BestRoute(std::uint32_t address, Route* route);

// Adds a static unicast route of the main table through gateway on the interface; a
// gateway of 0 makes a route on the link itself. EEXIST when an entry with the same
// prefix and metric exists; EINVAL for a mask that is not contiguous.
int AddRoute(std::uint32_t destination, std::uint32_t mask, std::uint32_t gateway,
             std::uint32_t interfaceIndex, std::uint32_t metric);

// Deletes exactly the entry that route describes.
int DeleteRoute(const Route& route);

// Every IPv4 route of the main table, in kernel order.
int ListRoutes(std::vector<Route>* routes);

// Gives the entry another metric, everything else unchanged.
int ChangeRouteMetric(const Route& route, std::uint32_t metric);

// Deletes every non-permanent IPv4 neighbour (ARP) entry of the interface.
int FlushNeighbours(std::uint32_t interfaceIndex);

}  // namespace platform
