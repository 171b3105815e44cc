#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"

// The host's IPv4 adapters, routes and neighbours. Addresses and masks are in network
// byte order. Every call returns success or the platform error of the failed step.
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
  std::string name;                        // the platform's identifier of the adapter
  std::vector<std::string> friendlyNames;  // every name a user may know the adapter by
  std::string description;                 // the adapter's description; empty when unset
  std::vector<AdapterAddress> addresses;   // IPv4, platform order: own address with prefix mask
  std::vector<std::uint32_t> gateways;     // gateways of its default routes
  std::uint32_t primaryWins = 0;           // WINS servers; 0 when none
  std::uint32_t secondaryWins = 0;
  OperStatus status = OperStatus::NonOperational;
  bool loopback = false;
};

// Every adapter of the host in platform order, with its IPv4 configuration.
Error ListAdapters(std::vector<Adapter>* adapters);

// Makes name one of the friendly names of the tunnel adapter, the TUN/TAP interface
// that carries tunnelAddress, where the platform names that interface after the
// program's device word (on a platform whose tunnel adapter keeps a friendly name of
// its own, nothing is done). NotFound when no TUN/TAP interface, or more than one,
// carries the address; AlreadyExists when another interface has the name.
Error NameTunnelAdapter(std::uint32_t tunnelAddress, const std::string& name);

// The IPv4 name servers the host's lookups really reach, in resolver order (a local
// caching resolver stands for the upstream servers it forwards to).
Error ListDnsServers(std::vector<std::uint32_t>* servers);

// The interface's own IPv4 metric, which the host adds to the metric of its routes.
// On a host that keeps no metric per interface the call succeeds and leaves metric
// without a value.
Error InterfaceMetric(std::uint32_t interfaceIndex, std::optional<std::uint32_t>* metric);

// The platform's own record of a routing entry, exactly as read. Only the platform
// backend reads or writes its content (through NativeRouteRowAccess, which it defines).
class NativeRouteRow {
 public:
  NativeRouteRow() = default;
  bool Empty() const { return bytes_.empty(); }

 private:
  friend class NativeRouteRowAccess;
  std::vector<std::uint8_t> bytes_;
};

// One IPv4 routing entry. row is the platform's description of the entry: handing the
// route back deletes or changes exactly this entry and no other with the same prefix.
struct Route {
  std::uint32_t destination = 0;
  std::uint32_t mask = 0;
  std::uint32_t gateway = 0;
  std::uint32_t interfaceIndex = 0;
  std::uint32_t metric = 0;
  // False for an entry of another routing table than the one the route operations
  // below read and write (hosts with policy routing keep several).
  bool mainTable = true;
  // True for an entry this service wrote (it carries the service's mark); always false
  // on a host that keeps no mark on its routes.
  bool owned = false;
  NativeRouteRow row;
};

// The entry the host would use to reach address (not a cached host route).
Error BestRoute(std::uint32_t address, Route* route);

// Whether the routes AddRoute writes carry the service's mark (Route::owned), so that a
// route it left behind is recognisable without its own records.
bool MarksOwnRoutes();

// Deletes exactly the entry that route describes; NotFound when it is gone.
Error DeleteRoute(const Route& route);

// A subscription to the deletions of the host's IPv4 routes, for one watching thread;
// Interrupt may be called from any thread and wakes the watcher for good.
class RouteDeletionWatch {
 public:
  enum class Wake { Deleted, TimedOut, Lost, Interrupted, Failed };
  RouteDeletionWatch();
  ~RouteDeletionWatch();
  RouteDeletionWatch(const RouteDeletionWatch&) = delete;
  RouteDeletionWatch& operator=(const RouteDeletionWatch&) = delete;
  // Subscribes; a host without the subscription answers with its error.
  Error Open();
  // Waits at most timeout. Deleted: deleted holds the entries that went; Lost: the host
  // dropped notifications, so any route may have gone.
  Wake Wait(std::chrono::milliseconds timeout, std::vector<Route>* deleted);
  void Interrupt();

 private:
  struct Native;
  std::unique_ptr<Native> native_;
};

// What one request reads of the host, read once at its start. Each part carries the
// platform error of its read; a part not asked for stays empty and succeeded.
struct HostSnapshot {
  enum Part : unsigned { kAdapters = 1, kRoutes = 2, kDnsServers = 4 };
  std::vector<Adapter> adapters;
  // The interface's own IPv4 metric per adapter index (InterfaceMetric), read with the
  // adapters; an index without an entry has none (the host keeps no metric per interface).
  struct InterfaceMetricEntry {
    std::uint32_t interfaceIndex;
    std::optional<std::uint32_t> metric;
    Error error;
  };
  std::vector<InterfaceMetricEntry> interfaceMetrics;
  Error adaptersError;
  std::vector<Route> routes;  // every IPv4 route of the table written to, in platform order
  Error routesError;
  std::vector<std::uint32_t> dnsServers;  // ListDnsServers
  Error dnsError;
};

// The host's network as one request sees it: its reads and writes go through one
// channel to the system (on Linux one route netlink socket with one receive buffer),
// opened on first use and closed with the object. One thread at a time.
class HostNetwork {
 public:
  virtual ~HostNetwork() = default;
  // The parts (HostSnapshot::Part bits) read now, in one pass.
  virtual HostSnapshot Snapshot(unsigned parts) = 0;
  virtual Error BestRoute(std::uint32_t address, Route* route) = 0;
  // Adds a static unicast route through gateway on the interface, with the service's
  // mark where the host keeps one; a gateway of 0 makes a route on the link itself.
  // AlreadyExists when an entry with the same prefix and metric exists; Invalid for a
  // mask that is not contiguous.
  virtual Error AddRoute(std::uint32_t destination, std::uint32_t mask, std::uint32_t gateway,
                         std::uint32_t interfaceIndex, std::uint32_t metric) = 0;
  virtual Error DeleteRoute(const Route& route) = 0;
  // Gives the entry another metric, everything else unchanged.
  virtual Error ChangeRouteMetric(const Route& route, std::uint32_t metric) = 0;
  // Deletes every dynamic IPv4 neighbour (ARP) entry of the interface.
  virtual Error FlushNeighbours(std::uint32_t interfaceIndex) = 0;
  // Whether the host keeps a limited-broadcast (255.255.255.255) route of its own for
  // every interface. Where it does not, a limited broadcast follows the other routes.
  virtual bool KeepsBroadcastRoutePerInterface() const = 0;
};

// The system's host network for one request.
std::unique_ptr<HostNetwork> OpenHostNetwork();

}  // namespace platform
