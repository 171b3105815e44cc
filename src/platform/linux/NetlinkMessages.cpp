#include "platform/linux/NetlinkMessages.h"

#include <arpa/inet.h>
#include <linux/if.h>
#include <linux/neighbour.h>
#include <linux/if_addr.h>

#include <cstring>
#include <string>

namespace platform {

NativeRouteRow NativeRouteRowAccess::FromBytes(const void* data, std::size_t size) {
  NativeRouteRow row;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  row.bytes_.assign(bytes, bytes + size);
  return row;
}

const std::vector<std::uint8_t>& NativeRouteRowAccess::Bytes(const NativeRouteRow& row) { return row.bytes_; }

namespace netlink {
namespace {

template <int kMax>
struct AttributeTable {
  const nlattr* entries[kMax + 1] = {};
};

template <int kMax>
int CollectAttribute(const nlattr* attribute, void* data) {
  int type = mnl_attr_get_type(attribute);
  if (type <= kMax) static_cast<AttributeTable<kMax>*>(data)->entries[type] = attribute;
  return MNL_CB_OK;
}

template <int kMax>
AttributeTable<kMax> ParseAttributes(const nlmsghdr* message, std::size_t headerSize) {
  AttributeTable<kMax> table;
  mnl_attr_parse(message, static_cast<unsigned>(headerSize), CollectAttribute<kMax>, &table);
  return table;
}

std::uint32_t U32Or(const nlattr* attribute, std::uint32_t fallback) {
  return attribute != nullptr ? mnl_attr_get_u32(attribute) : fallback;
}

// The six operational states the callers distinguish, from the kernel's RFC 2863
// state: UP is operational, DORMANT (waiting for an external event such as 802.1X)
// is connecting, DOWN and LOWERLAYERDOWN are disconnected, NOTPRESENT is
// non-operational and TESTING unreachable. Many drivers never report a state
// (UNKNOWN): then an interface that is up and running counts as operational.
OperStatus MapOperState(std::uint8_t operState, unsigned flags) {
  switch (operState) {
    case IF_OPER_UP:
      return OperStatus::Operational;
    case IF_OPER_DORMANT:
      return OperStatus::Connecting;
    case IF_OPER_DOWN:
    case IF_OPER_LOWERLAYERDOWN:
      return OperStatus::Disconnected;
    case IF_OPER_NOTPRESENT:
      return OperStatus::NonOperational;
    case IF_OPER_TESTING:
      return OperStatus::Unreachable;
    default:
      return (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0 ? OperStatus::Operational
                                                                 : OperStatus::Disconnected;
  }
}

int CollectAlternativeName(const nlattr* attribute, void* data) {
  if (mnl_attr_get_type(attribute) == IFLA_ALT_IFNAME) {
    static_cast<std::vector<std::string>*>(data)->push_back(mnl_attr_get_str(attribute));
  }
  return MNL_CB_OK;
}

void CollectNextHops(const nlattr* multipath, RouteRecord* record) {
  const char* cursor = static_cast<const char*>(mnl_attr_get_payload(multipath));
  int remaining = mnl_attr_get_payload_len(multipath);
  while (remaining >= static_cast<int>(sizeof(rtnexthop))) {
    const auto* hop = reinterpret_cast<const rtnexthop*>(cursor);
    if (hop->rtnh_len < sizeof(rtnexthop) || hop->rtnh_len > remaining) break;
    AttributeTable<RTA_MAX> attributes;
    mnl_attr_parse_payload(RTNH_DATA(hop), hop->rtnh_len - sizeof(rtnexthop), CollectAttribute<RTA_MAX>, &attributes);
    std::uint32_t gateway = U32Or(attributes.entries[RTA_GATEWAY], 0);
    record->nextHops.emplace_back(static_cast<std::uint32_t>(hop->rtnh_ifindex), gateway);
    cursor += RTNH_ALIGN(hop->rtnh_len);
    remaining -= RTNH_ALIGN(hop->rtnh_len);
  }
}

// Echoes every attribute of a route's row into a new message but one type.
struct EchoContext {
  nlmsghdr* message;
  std::uint16_t skipType;
};

int EchoAttribute(const nlattr* attribute, void* data) {
  auto* context = static_cast<EchoContext*>(data);
  if (mnl_attr_get_type(attribute) == context->skipType) return MNL_CB_OK;
  mnl_attr_put(context->message, attribute->nla_type, mnl_attr_get_payload_len(attribute),
               mnl_attr_get_payload(attribute));
  return MNL_CB_OK;
}

}  // namespace

std::uint32_t PrefixToMask(unsigned prefixLength) {
  std::uint32_t hostMask = prefixLength == 0 ? 0 : 0xFFFFFFFFu << (32 - prefixLength);
  return htonl(hostMask);
}

bool MaskToPrefix(std::uint32_t mask, unsigned* prefixLength) {
  std::uint32_t hostMask = ntohl(mask);
  unsigned length = 0;
  while (length < 32 && (hostMask & (0x80000000u >> length)) != 0) ++length;
  if (PrefixToMask(length) != mask) return false;
  *prefixLength = length;
  return true;
}

nlmsghdr* PutHeader(std::vector<char>* buffer, std::uint16_t type, std::uint16_t flags) {
  buffer->assign(kRequestBufferSize, 0);
  nlmsghdr* header = mnl_nlmsg_put_header(buffer->data());
  header->nlmsg_type = type;
  header->nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
  return header;
}

// A TAP device's name is limited to 15 characters and cannot hold every friendly name:
// the interface alias and its alternative names let the administrator give the adapter
// the names the client looks for, so they count as friendly names beside the name.
Adapter ParseLink(const nlmsghdr* message) {
  const auto* info = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(message));
  auto attributes = ParseAttributes<IFLA_MAX>(message, sizeof *info);
  Adapter adapter;
  adapter.index = static_cast<std::uint32_t>(info->ifi_index);
  if (attributes.entries[IFLA_IFNAME] != nullptr) {
    adapter.name = mnl_attr_get_str(attributes.entries[IFLA_IFNAME]);
    adapter.friendlyNames.push_back(adapter.name);
  }
  if (attributes.entries[IFLA_IFALIAS] != nullptr) {
    adapter.description = mnl_attr_get_str(attributes.entries[IFLA_IFALIAS]);
    if (!adapter.description.empty()) adapter.friendlyNames.push_back(adapter.description);
  }
  if (attributes.entries[IFLA_PROP_LIST] != nullptr) {
    mnl_attr_parse_nested(attributes.entries[IFLA_PROP_LIST], CollectAlternativeName, &adapter.friendlyNames);
  }
  std::uint8_t operState =
      attributes.entries[IFLA_OPERSTATE] != nullptr ? mnl_attr_get_u8(attributes.entries[IFLA_OPERSTATE]) : 0;
  adapter.status = MapOperState(operState, info->ifi_flags);
  adapter.loopback = (info->ifi_flags & IFF_LOOPBACK) != 0;
  return adapter;
}

std::string LinkKind(const nlmsghdr* message) {
  auto attributes = ParseAttributes<IFLA_MAX>(message, sizeof(ifinfomsg));
  if (attributes.entries[IFLA_LINKINFO] == nullptr) return std::string();
  AttributeTable<IFLA_INFO_MAX> info;
  mnl_attr_parse_nested(attributes.entries[IFLA_LINKINFO], CollectAttribute<IFLA_INFO_MAX>, &info);
  if (info.entries[IFLA_INFO_KIND] == nullptr) return std::string();
  return mnl_attr_get_str(info.entries[IFLA_INFO_KIND]);
}

nlmsghdr* PutAlternativeName(std::vector<char>* buffer, std::uint32_t interfaceIndex, const std::string& name) {
  nlmsghdr* request = PutHeader(buffer, RTM_NEWLINKPROP, NLM_F_CREATE | NLM_F_EXCL);
  auto* info = PutFamilyHeader<ifinfomsg>(request);
  info->ifi_family = AF_UNSPEC;
  info->ifi_index = static_cast<int>(interfaceIndex);
  nlattr* names = mnl_attr_nest_start(request, IFLA_PROP_LIST);
  mnl_attr_put_strz(request, IFLA_ALT_IFNAME, name.c_str());
  mnl_attr_nest_end(request, names);
  return request;
}

bool ParseAddress(const nlmsghdr* message, std::uint32_t* interfaceIndex, AdapterAddress* address) {
  const auto* info = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(message));
  if (info->ifa_family != AF_INET) return false;
  auto attributes = ParseAttributes<IFA_MAX>(message, sizeof *info);
  // IFA_ADDRESS is the peer on point-to-point links; IFA_LOCAL is always our own.
  const nlattr* own = attributes.entries[IFA_LOCAL] != nullptr ? attributes.entries[IFA_LOCAL]
                                                                : attributes.entries[IFA_ADDRESS];
  if (own == nullptr) return false;
  *interfaceIndex = info->ifa_index;
  *address = AdapterAddress{mnl_attr_get_u32(own), PrefixToMask(info->ifa_prefixlen)};
  return true;
}

bool ParseNeighbour(const nlmsghdr* message, Neighbour* neighbour) {
  const auto* info = static_cast<const ndmsg*>(mnl_nlmsg_get_payload(message));
  if (info->ndm_family != AF_INET) return false;
  auto attributes = ParseAttributes<NDA_MAX>(message, sizeof *info);
  if (attributes.entries[NDA_DST] == nullptr) return false;
  *neighbour = Neighbour{mnl_attr_get_u32(attributes.entries[NDA_DST]), info->ndm_state};
  return true;
}

RouteRecord ParseRoute(const nlmsghdr* message) {
  const auto* info = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(message));
  auto attributes = ParseAttributes<RTA_MAX>(message, sizeof *info);
  RouteRecord record;
  record.type = info->rtm_type;
  record.prefixLength = info->rtm_dst_len;
  record.table = U32Or(attributes.entries[RTA_TABLE], info->rtm_table);
  Route& route = record.route;
  route.destination = U32Or(attributes.entries[RTA_DST], 0);
  route.mask = PrefixToMask(info->rtm_dst_len);
  route.gateway = U32Or(attributes.entries[RTA_GATEWAY], 0);
  route.interfaceIndex = U32Or(attributes.entries[RTA_OIF], 0);
  route.metric = U32Or(attributes.entries[RTA_PRIORITY], 0);
  route.mainTable = record.table == RT_TABLE_MAIN;
  route.owned = info->rtm_protocol == kServiceRouteProtocol;
  route.row = NativeRouteRowAccess::FromBytes(mnl_nlmsg_get_payload(message), mnl_nlmsg_get_payload_len(message));
  if (attributes.entries[RTA_MULTIPATH] != nullptr) {
    CollectNextHops(attributes.entries[RTA_MULTIPATH], &record);
  } else {
    record.nextHops.emplace_back(route.interfaceIndex, route.gateway);
  }
  return record;
}

nlmsghdr* PutAddRoute(std::vector<char>* buffer, std::uint32_t destination, unsigned prefixLength,
                      std::uint32_t gateway, std::uint32_t interfaceIndex, std::uint32_t metric) {
  // Without EXCL the kernel would add a second entry with the same prefix and metric
  // but another gateway, silently shadowing the first.
  nlmsghdr* request = PutHeader(buffer, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL);
  auto* info = netlink::PutFamilyHeader<rtmsg>(request);
  info->rtm_family = AF_INET;
  info->rtm_dst_len = static_cast<unsigned char>(prefixLength);
  info->rtm_table = RT_TABLE_MAIN;
  info->rtm_protocol = kServiceRouteProtocol;
  // A route without a gateway reaches its destination on the link itself.
  info->rtm_scope = gateway != 0 ? RT_SCOPE_UNIVERSE : RT_SCOPE_LINK;
  info->rtm_type = RTN_UNICAST;
  mnl_attr_put_u32(request, RTA_DST, destination);
  if (gateway != 0) mnl_attr_put_u32(request, RTA_GATEWAY, gateway);
  mnl_attr_put_u32(request, RTA_OIF, interfaceIndex);
  mnl_attr_put_u32(request, RTA_PRIORITY, metric);
  return request;
}

bool IsWellFormedRoute(const Route& route) { return NativeRouteRowAccess::Bytes(route.row).size() >= sizeof(rtmsg); }

nlmsghdr* PutRouteEcho(std::vector<char>* buffer, const Route& route, std::uint16_t type, std::uint16_t flags,
                       std::uint16_t skipType) {
  const std::vector<std::uint8_t>& row = NativeRouteRowAccess::Bytes(route.row);
  nlmsghdr* request = PutHeader(buffer, type, flags);
  auto* info = netlink::PutFamilyHeader<rtmsg>(request);
  std::memcpy(info, row.data(), sizeof(rtmsg));
  // State flags the kernel reports (dead, link down, offloaded) are not ours to set.
  info->rtm_flags &= RTNH_F_ONLINK;
  EchoContext context{request, skipType};
  mnl_attr_parse_payload(row.data() + sizeof(rtmsg), row.size() - sizeof(rtmsg), EchoAttribute, &context);
  return request;
}

}  // namespace netlink
}  // namespace platform
