#include "platform/HostNetwork.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

// Route netlink through libmnl: one socket per operation, so no state is shared
// between threads, and every failure comes back as the kernel's own errno.
namespace platform {
namespace {

constexpr std::size_t kReceiveBufferSize = 64 * 1024;
constexpr std::size_t kRequestBufferSize = 8 * 1024;
constexpr const char* kResolverConfiguration = "/etc/resolv.conf";
// systemd-resolved's stub listens on loopback and publishes the servers it forwards to
// here, in resolv.conf syntax, whether or not its bus interface can be reached.
constexpr const char* kResolvedUpstreamConfiguration = "/run/systemd/resolve/resolv.conf";

std::uint32_t PrefixToMask(unsigned prefixLength) {
  std::uint32_t hostMask = prefixLength == 0 ? 0 : 0xFFFFFFFFu << (32 - prefixLength);
  return htonl(hostMask);
}

// The prefix length of a contiguous mask; false for a mask with holes.
bool MaskToPrefix(std::uint32_t mask, unsigned* prefixLength) {
  std::uint32_t hostMask = ntohl(mask);
  unsigned length = 0;
  while (length < 32 && (hostMask & (0x80000000u >> length)) != 0) ++length;
  if (PrefixToMask(length) != mask) return false;
  *prefixLength = length;
  return true;
}

class NetlinkSocket {
 public:
  NetlinkSocket() = default;
  ~NetlinkSocket() {
    if (socket_ != nullptr) mnl_socket_close(socket_);
  }
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;

  int Open() {
    socket_ = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
    if (socket_ == nullptr) return errno;
    if (mnl_socket_bind(socket_, 0, MNL_SOCKET_AUTOPID) < 0) return errno;
    // Strict checking makes the kernel honour dump filters (and reject bad requests
    // instead of ignoring fields); acknowledgements need not echo our request.
    for (int option : {NETLINK_GET_STRICT_CHK, NETLINK_EXT_ACK, NETLINK_CAP_ACK}) {
      int on = 1;
      if (mnl_socket_setsockopt(socket_, option, &on, sizeof on) < 0) return errno;
    }
    return 0;
  }

  // Sends the request (an acknowledgement is always asked for) and feeds every reply
  // message to callback until the kernel ends the exchange. 0 or the kernel's errno.
  int Exchange(nlmsghdr* request, mnl_cb_t callback, void* data) {
    request->nlmsg_flags |= NLM_F_ACK;
    request->nlmsg_seq = ++sequence_;
    if (mnl_socket_sendto(socket_, request, request->nlmsg_len) < 0) return errno;
    std::vector<char> buffer(kReceiveBufferSize);
    unsigned portId = mnl_socket_get_portid(socket_);
    for (;;) {
      ssize_t received = mnl_socket_recvfrom(socket_, buffer.data(), buffer.size());
      if (received < 0) return errno;
      errno = 0;
      int result = mnl_cb_run(buffer.data(), static_cast<std::size_t>(received), request->nlmsg_seq, portId,
                              callback, data);
      if (result == MNL_CB_STOP) return 0;
      if (result == MNL_CB_ERROR) return errno != 0 ? errno : EPROTO;
    }
  }

 private:
  mnl_socket* socket_ = nullptr;
  unsigned sequence_ = 0;
};

// Opens a socket and runs one exchange.
int RunRequest(nlmsghdr* request, mnl_cb_t callback = nullptr, void* data = nullptr) {
  NetlinkSocket socket;
  int error = socket.Open();
  if (error != 0) return error;
  return socket.Exchange(request, callback, data);
}

nlmsghdr* PutHeader(std::vector<char>* buffer, std::uint16_t type, std::uint16_t flags) {
  buffer->assign(kRequestBufferSize, 0);
  nlmsghdr* header = mnl_nlmsg_put_header(buffer->data());
  header->nlmsg_type = type;
  header->nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
  return header;
}

// ---- attribute tables ----

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

// ---- links ----

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

int CollectLink(const nlmsghdr* message, void* data) {
  auto* adapters = static_cast<std::vector<Adapter>*>(data);
  const auto* info = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(message));
  auto attributes = ParseAttributes<IFLA_MAX>(message, sizeof *info);
  Adapter adapter;
  adapter.index = static_cast<std::uint32_t>(info->ifi_index);
  if (attributes.entries[IFLA_IFNAME] != nullptr) adapter.name = mnl_attr_get_str(attributes.entries[IFLA_IFNAME]);
  if (attributes.entries[IFLA_IFALIAS] != nullptr) {
    adapter.description = mnl_attr_get_str(attributes.entries[IFLA_IFALIAS]);
    if (!adapter.description.empty()) adapter.aliases.push_back(adapter.description);
  }
  if (attributes.entries[IFLA_PROP_LIST] != nullptr) {
    mnl_attr_parse_nested(attributes.entries[IFLA_PROP_LIST], CollectAlternativeName, &adapter.aliases);
  }
  std::uint8_t operState =
      attributes.entries[IFLA_OPERSTATE] != nullptr ? mnl_attr_get_u8(attributes.entries[IFLA_OPERSTATE]) : 0;
  adapter.status = MapOperState(operState, info->ifi_flags);
  adapter.loopback = (info->ifi_flags & IFF_LOOPBACK) != 0;
  adapters->push_back(std::move(adapter));
  return MNL_CB_OK;
}

int DumpLinks(std::vector<Adapter>* adapters) {
  std::vector<char> buffer;
  nlmsghdr* request = PutHeader(&buffer, RTM_GETLINK, NLM_F_DUMP);
  auto* info = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(request, sizeof(ifinfomsg)));
  info->ifi_family = AF_UNSPEC;
  return RunRequest(request, CollectLink, adapters);
}

// ---- addresses ----

struct InterfaceAddress {
  std::uint32_t index;
  AdapterAddress address;
};

int CollectAddress(const nlmsghdr* message, void* data) {
  const auto* info = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(message));
  if (info->ifa_family != AF_INET) return MNL_CB_OK;
  auto attributes = ParseAttributes<IFA_MAX>(message, sizeof *info);
  // IFA_ADDRESS is the peer on point-to-point links; IFA_LOCAL is always our own.
  const nlattr* own = attributes.entries[IFA_LOCAL] != nullptr ? attributes.entries[IFA_LOCAL]
                                                                : attributes.entries[IFA_ADDRESS];
  if (own == nullptr) return MNL_CB_OK;
  InterfaceAddress entry{info->ifa_index, {mnl_attr_get_u32(own), PrefixToMask(info->ifa_prefixlen)}};
  static_cast<std::vector<InterfaceAddress>*>(data)->push_back(entry);
  return MNL_CB_OK;
}

int DumpAddresses(std::vector<InterfaceAddress>* addresses) {
  std::vector<char> buffer;
  nlmsghdr* request = PutHeader(&buffer, RTM_GETADDR, NLM_F_DUMP);
  auto* info = static_cast<ifaddrmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(ifaddrmsg)));
  info->ifa_family = AF_INET;
  return RunRequest(request, CollectAddress, addresses);
}

// ---- routes ----

struct RouteRecord {
  Route route;
  std::uint8_t type = 0;
  std::uint8_t prefixLength = 0;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> nextHops;  // (interface, gateway)
};

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

RouteRecord ParseRoute(const nlmsghdr* message) {
  const auto* info = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(message));
  auto attributes = ParseAttributes<RTA_MAX>(message, sizeof *info);
  RouteRecord record;
  record.type = info->rtm_type;
  record.prefixLength = info->rtm_dst_len;
  Route& route = record.route;
  route.destination = U32Or(attributes.entries[RTA_DST], 0);
  route.mask = PrefixToMask(info->rtm_dst_len);
  route.gateway = U32Or(attributes.entries[RTA_GATEWAY], 0);
  route.interfaceIndex = U32Or(attributes.entries[RTA_OIF], 0);
  route.metric = U32Or(attributes.entries[RTA_PRIORITY], 0);
  route.table = U32Or(attributes.entries[RTA_TABLE], info->rtm_table);
  const auto* payload = static_cast<const unsigned char*>(mnl_nlmsg_get_payload(message));
  route.kernelMessage.assign(payload, payload + mnl_nlmsg_get_payload_len(message));
  if (attributes.entries[RTA_MULTIPATH] != nullptr) {
    CollectNextHops(attributes.entries[RTA_MULTIPATH], &record);
  } else {
    record.nextHops.emplace_back(route.interfaceIndex, route.gateway);
  }
  return record;
}

int CollectMainTableRoute(const nlmsghdr* message, void* data) {
  const auto* info = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(message));
  if (info->rtm_family != AF_INET) return MNL_CB_OK;
  RouteRecord record = ParseRoute(message);
  if (record.route.table != RT_TABLE_MAIN) return MNL_CB_OK;
  static_cast<std::vector<RouteRecord>*>(data)->push_back(std::move(record));
  return MNL_CB_OK;
}

int DumpMainTable(std::vector<RouteRecord>* records) {
  std::vector<char> buffer;
  nlmsghdr* request = PutHeader(&buffer, RTM_GETROUTE, NLM_F_DUMP);
  auto* info = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(rtmsg)));
  info->rtm_family = AF_INET;
  info->rtm_table = RT_TABLE_MAIN;
  return RunRequest(request, CollectMainTableRoute, records);
}

int CollectOneRoute(const nlmsghdr* message, void* data) {
  *static_cast<Route*>(data) = ParseRoute(message).route;
  return MNL_CB_OK;
}

// A new message carrying the kernel's description of route (header and attributes);
// the attribute skipType is left out.
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

bool IsWellFormedRoute(const Route& route) { return route.kernelMessage.size() >= sizeof(rtmsg); }

nlmsghdr* PutRouteEcho(std::vector<char>* buffer, const Route& route, std::uint16_t type, std::uint16_t flags,
                       std::uint16_t skipType) {
  nlmsghdr* request = PutHeader(buffer, type, flags);
  auto* info = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(rtmsg)));
  std::memcpy(info, route.kernelMessage.data(), sizeof(rtmsg));
  // State flags the kernel reports (dead, link down, offloaded) are not ours to set.
  info->rtm_flags &= RTNH_F_ONLINK;
  EchoContext context{request, skipType};
  mnl_attr_parse_payload(route.kernelMessage.data() + sizeof(rtmsg), route.kernelMessage.size() - sizeof(rtmsg),
                         EchoAttribute, &context);
  return request;
}

// ---- neighbours ----

struct Neighbour {
  std::uint32_t address;
  std::uint16_t state;
};

int CollectNeighbour(const nlmsghdr* message, void* data) {
  const auto* info = static_cast<const ndmsg*>(mnl_nlmsg_get_payload(message));
  if (info->ndm_family != AF_INET) return MNL_CB_OK;
  auto attributes = ParseAttributes<NDA_MAX>(message, sizeof *info);
  if (attributes.entries[NDA_DST] == nullptr) return MNL_CB_OK;
  Neighbour neighbour{mnl_attr_get_u32(attributes.entries[NDA_DST]), info->ndm_state};
  static_cast<std::vector<Neighbour>*>(data)->push_back(neighbour);
  return MNL_CB_OK;
}

int DumpNeighbours(std::uint32_t interfaceIndex, std::vector<Neighbour>* neighbours) {
  std::vector<char> buffer;
  nlmsghdr* request = PutHeader(&buffer, RTM_GETNEIGH, NLM_F_DUMP);
  auto* info = static_cast<ndmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(ndmsg)));
  info->ndm_family = AF_INET;
  // With strict checking the interface filter goes in an attribute: an index in the
  // header makes the kernel return nothing at all.
  mnl_attr_put_u32(request, NDA_IFINDEX, interfaceIndex);
  return RunRequest(request, CollectNeighbour, neighbours);
}

int DeleteNeighbour(std::uint32_t interfaceIndex, std::uint32_t address) {
  std::vector<char> buffer;
  nlmsghdr* request = PutHeader(&buffer, RTM_DELNEIGH, 0);
  auto* info = static_cast<ndmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(ndmsg)));
  info->ndm_family = AF_INET;
  info->ndm_ifindex = static_cast<int>(interfaceIndex);
  mnl_attr_put_u32(request, NDA_DST, address);
  return RunRequest(request);
}

// ---- resolver configuration ----

bool ParseNameServerLine(const std::string& line, std::uint32_t* address) {
  std::istringstream words(line);
  std::string keyword;
  std::string value;
  if (!(words >> keyword >> value) || keyword != "nameserver") return false;
  in_addr parsed{};
  if (inet_pton(AF_INET, value.c_str(), &parsed) != 1) return false;
  *address = parsed.s_addr;
  return true;
}

// The name servers of a file in resolv.conf syntax, in file order; a missing file has
// none.
int ReadNameServers(const char* path, std::vector<std::uint32_t>* servers) {
  servers->clear();
  errno = 0;
  std::ifstream file(path);
  if (!file.is_open()) return errno == ENOENT ? 0 : (errno != 0 ? errno : EIO);
  std::string line;
  while (std::getline(file, line)) {
    std::uint32_t address = 0;
    if (ParseNameServerLine(line, &address)) servers->push_back(address);
  }
  return file.bad() ? EIO : 0;
}

bool IsLoopback(std::uint32_t address) { return (ntohl(address) >> 24) == 127; }

void AddUnique(std::vector<std::uint32_t>* list, std::uint32_t address) {
  if (std::find(list->begin(), list->end(), address) == list->end()) list->push_back(address);
}

// A loopback name server is a local cache, not a server the host's queries end at:
// the upstream servers it forwards to take the place of the first one. Without a known
// upstream list the configuration is all there is to go by.
std::vector<std::uint32_t> ReplaceLocalResolver(const std::vector<std::uint32_t>& configured,
                                                const std::vector<std::uint32_t>& upstream) {
  if (upstream.empty()) return configured;
  std::vector<std::uint32_t> servers;
  bool upstreamPlaced = false;
  for (std::uint32_t server : configured) {
    if (!IsLoopback(server)) {
      AddUnique(&servers, server);
    } else if (!upstreamPlaced) {
      for (std::uint32_t upstreamServer : upstream) AddUnique(&servers, upstreamServer);
      upstreamPlaced = true;
    }
  }
  return servers;
}

void AddGateway(Adapter* adapter, std::uint32_t gateway) {
  for (std::uint32_t known : adapter->gateways) {
    if (known == gateway) return;
  }
  adapter->gateways.push_back(gateway);
}

}  // namespace

int ListAdapters(std::vector<Adapter>* adapters) {
  std::vector<Adapter> links;
  std::vector<InterfaceAddress> addresses;
  std::vector<RouteRecord> routes;
  int error = DumpLinks(&links);
  if (error == 0) error = DumpAddresses(&addresses);
  if (error == 0) error = DumpMainTable(&routes);
  if (error != 0) return error;

  std::map<std::uint32_t, Adapter*> byIndex;
  for (Adapter& link : links) byIndex[link.index] = &link;
  for (const InterfaceAddress& entry : addresses) {
    auto found = byIndex.find(entry.index);
    if (found != byIndex.end()) found->second->addresses.push_back(entry.address);
  }
  for (const RouteRecord& record : routes) {
    if (record.prefixLength != 0 || record.type != RTN_UNICAST) continue;
    for (const auto& hop : record.nextHops) {
      auto found = byIndex.find(hop.first);
      if (found != byIndex.end() && hop.second != 0) AddGateway(found->second, hop.second);
    }
  }
  *adapters = std::move(links);
  return 0;
}

int ListDnsServers(std::vector<std::uint32_t>* servers) {
  std::vector<std::uint32_t> configured;
  int error = ReadNameServers(kResolverConfiguration, &configured);
  if (error != 0) return error;
  std::vector<std::uint32_t> upstream;
  if (std::any_of(configured.begin(), configured.end(), IsLoopback)) {
    error = ReadNameServers(kResolvedUpstreamConfiguration, &upstream);
    if (error != 0) return error;
  }
  *servers = ReplaceLocalResolver(configured, upstream);
  return 0;
}

int BestRoute(std::uint32_t address, Route* route) {
  std::vector<char> buffer;
  nlmsghdr* request = PutHeader(&buffer, RTM_GETROUTE, 0);
  auto* info = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(rtmsg)));
  info->rtm_family = AF_INET;
  info->rtm_dst_len = 32;
  // Without FIB_MATCH the kernel answers with a /32 result of the lookup, not with
  // the routing entry that produced it; without LOOKUP_TABLE it names the main table
  // whichever table the entry came from.
  info->rtm_flags = RTM_F_FIB_MATCH | RTM_F_LOOKUP_TABLE;
  mnl_attr_put_u32(request, RTA_DST, address);
  Route found;
  int error = RunRequest(request, CollectOneRoute, &found);
  if (error != 0) return error;
  if (!IsWellFormedRoute(found)) return ENETUNREACH;
  *route = std::move(found);
  return 0;
}

int AddRoute(std::uint32_t destination, std::uint32_t mask, std::uint32_t gateway, std::uint32_t interfaceIndex,
             std::uint32_t metric) {
  unsigned prefixLength = 0;
  if (!MaskToPrefix(mask, &prefixLength)) return EINVAL;
  std::vector<char> buffer;
  // Without EXCL the kernel would add a second entry with the same prefix and metric
  // but another gateway, silently shadowing the first.
  nlmsghdr* request = PutHeader(&buffer, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL);
  auto* info = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(rtmsg)));
  info->rtm_family = AF_INET;
  info->rtm_dst_len = static_cast<unsigned char>(prefixLength);
  info->rtm_table = RT_TABLE_MAIN;
  info->rtm_protocol = RTPROT_STATIC;
  // A route without a gateway reaches its destination on the link itself.
  info->rtm_scope = gateway != 0 ? RT_SCOPE_UNIVERSE : RT_SCOPE_LINK;
  info->rtm_type = RTN_UNICAST;
  mnl_attr_put_u32(request, RTA_DST, destination);
  if (gateway != 0) mnl_attr_put_u32(request, RTA_GATEWAY, gateway);
  mnl_attr_put_u32(request, RTA_OIF, interfaceIndex);
  mnl_attr_put_u32(request, RTA_PRIORITY, metric);
  return RunRequest(request);
}

int DeleteRoute(const Route& route) {
  if (!IsWellFormedRoute(route)) return EINVAL;
  std::vector<char> buffer;
  // The priority stays in the echo: without it the kernel deletes the lowest-metric
  // entry of the prefix, which need not be this one.
  nlmsghdr* request = PutRouteEcho(&buffer, route, RTM_DELROUTE, 0, RTA_UNSPEC);
  return RunRequest(request);
}

int ListRoutes(std::vector<Route>* routes) {
  std::vector<RouteRecord> records;
  int error = DumpMainTable(&records);
  if (error != 0) return error;
  routes->clear();
  for (RouteRecord& record : records) routes->push_back(std::move(record.route));
  return 0;
}

int ChangeRouteMetric(const Route& route, std::uint32_t metric) {
  if (!IsWellFormedRoute(route)) return EINVAL;
  if (metric == route.metric) return 0;
  // The metric is part of a route's key: replacing in place would create a second
  // entry. Add the entry with its new metric first, then delete the old one, so the
  // destination is never without a route.
  std::vector<char> buffer;
  nlmsghdr* request = PutRouteEcho(&buffer, route, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, RTA_PRIORITY);
  mnl_attr_put_u32(request, RTA_PRIORITY, metric);
  int error = RunRequest(request);
  if (error != 0) return error;
  error = DeleteRoute(route);
  if (error != 0) {
    std::vector<char> undoBuffer;
    nlmsghdr* undo = PutRouteEcho(&undoBuffer, route, RTM_DELROUTE, 0, RTA_PRIORITY);
    mnl_attr_put_u32(undo, RTA_PRIORITY, metric);
    RunRequest(undo);
  }
  return error;
}

int FlushNeighbours(std::uint32_t interfaceIndex) {
  std::vector<Neighbour> neighbours;
  int error = DumpNeighbours(interfaceIndex, &neighbours);
  if (error != 0) return error;
  for (const Neighbour& neighbour : neighbours) {
    if ((neighbour.state & (NUD_PERMANENT | NUD_NOARP)) != 0) continue;
    int deleteError = DeleteNeighbour(interfaceIndex, neighbour.address);
    // An entry that expired since the dump is already where we want it.
    if (deleteError != 0 && deleteError != ENOENT && error == 0) error = deleteError;
  }
  return error;
}

}  // namespace platform
