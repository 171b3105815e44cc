#pragma once

#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/HostNetwork.h"

// The route netlink messages the host-network backend sends and the replies it reads,
// built and parsed in plain buffers (no socket involved).
namespace platform {

// A route's native row on Linux is the payload of the kernel's RTM_NEWROUTE message
// for it (the rtmsg header and its attributes).
class NativeRouteRowAccess {
 public:
  static NativeRouteRow FromBytes(const void* data, std::size_t size);
  static const std::vector<std::uint8_t>& Bytes(const NativeRouteRow& row);
};

namespace netlink {

constexpr std::size_t kRequestBufferSize = 8 * 1024;

// The routing protocol number of the routes the service writes: none of the kernel's
// RTPROT_* values nor of iproute2's rt_protos list. Entries of any other protocol are
// never taken for the service's own.
constexpr std::uint8_t kServiceRouteProtocol = 157;

// A route as the kernel describes it, with what the callers of the seam do not see.
struct RouteRecord {
  Route route;
  std::uint32_t table = 0;
  std::uint8_t type = 0;
  std::uint8_t prefixLength = 0;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> nextHops;  // (interface, gateway)
};

std::uint32_t PrefixToMask(unsigned prefixLength);
// The prefix length of a contiguous mask; false for a mask with holes.
bool MaskToPrefix(std::uint32_t mask, unsigned* prefixLength);

// A zeroed request buffer with a netlink header of type and NLM_F_REQUEST | flags.
nlmsghdr* PutHeader(std::vector<char>* buffer, std::uint16_t type, std::uint16_t flags);

// The family's fixed header (ifinfomsg, rtmsg, ...) after the netlink header, zeroed.
template <typename FamilyHeader>
FamilyHeader* PutFamilyHeader(nlmsghdr* message) {
  return static_cast<FamilyHeader*>(mnl_nlmsg_put_extra_header(message, sizeof(FamilyHeader)));
}

// An adapter from an RTM_NEWLINK message: index, names, status (no addresses).
Adapter ParseLink(const nlmsghdr* message);
// The link kind of an RTM_NEWLINK message ("tun" for a TUN/TAP device, "veth", ...);
// empty when the message names none.
std::string LinkKind(const nlmsghdr* message);
// An RTM_NEWLINKPROP that gives the interface an alternative name.
nlmsghdr* PutAlternativeName(std::vector<char>* buffer, std::uint32_t interfaceIndex, const std::string& name);
// The interface and own address of an RTM_NEWADDR message; false when it is no IPv4
// address.
bool ParseAddress(const nlmsghdr* message, std::uint32_t* interfaceIndex, AdapterAddress* address);

struct Neighbour {
  std::uint32_t address;
  std::uint16_t state;  // NUD_* bits
};
// An RTM_NEWNEIGH message; false when it is no IPv4 neighbour.
bool ParseNeighbour(const nlmsghdr* message, Neighbour* neighbour);
// A route from an RTM_NEWROUTE message; its native row is the message's payload.
RouteRecord ParseRoute(const nlmsghdr* message);

// An exclusive RTM_NEWROUTE for a unicast route of the main table, with the service's
// protocol number.
nlmsghdr* PutAddRoute(std::vector<char>* buffer, std::uint32_t destination, unsigned prefixLength,
                      std::uint32_t gateway, std::uint32_t interfaceIndex, std::uint32_t metric);
// Whether the route carries a row this backend can send back.
bool IsWellFormedRoute(const Route& route);
// A message of type and flags that carries the route's native row back to the kernel,
// leaving out the attribute skipType (RTA_UNSPEC leaves out none).
nlmsghdr* PutRouteEcho(std::vector<char>* buffer, const Route& route, std::uint16_t type, std::uint16_t flags,
                       std::uint16_t skipType);

}  // namespace netlink
}  // namespace platform
