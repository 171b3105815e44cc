#include "platform/HostNetwork.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/linux/ErrnoError.h"
#include "platform/linux/NetlinkMessages.h"
#include "platform/linux/NetlinkSocket.h"
#include "platform/linux/ResolvedServers.h"

// Route netlink through libmnl: one socket per request (a HostNetwork, or one free
// call), opened at its first exchange and used for all of the request's dumps and
// changes; every failure comes back as the kernel's own errno.
namespace platform {
namespace {

using netlink::PutHeader;
using netlink::RouteRecord;

constexpr const char* kResolverConfiguration = "/etc/resolv.conf";
// systemd-resolved's stub listens on loopback and publishes the servers it forwards to
// here, in resolv.conf syntax, whether or not its bus interface can be reached.
constexpr const char* kResolvedUpstreamConfiguration = "/run/systemd/resolve/resolv.conf";

// The route netlink socket of one request, opened at its first exchange. Not shared
// between threads.
class RouteChannel {
 public:
  // Runs one exchange; step names the request in the error.
  Error Run(const char* step, nlmsghdr* request, mnl_cb_t callback = nullptr, void* data = nullptr) {
    if (!opened_) {
      opened_ = true;
      openError_ = socket_.Open(NETLINK_ROUTE);
      if (openError_.Succeeded()) openError_ = socket_.RequireStrictChecking();
    }
    if (openError_.Failed()) return openError_;
    return ErrnoError(socket_.Exchange(request, callback, data), step);
  }

 private:
  NetlinkSocket socket_;
  bool opened_ = false;
  Error openError_;
};

// The kernel reports a route it does not have as ESRCH ("no such process").
Error RouteDeletionError(Error error) {
  if (error.Code() == ESRCH) return Error(ErrorKind::NotFound, error.Code(), error.Step());
  return error;
}

// Appends each reply message that Parse accepts to the std::vector<Entry> data points to.
template <typename Entry, bool (*Parse)(const nlmsghdr*, Entry*)>
int Collect(const nlmsghdr* message, void* data) {
  Entry entry{};
  if (Parse(message, &entry)) static_cast<std::vector<Entry>*>(data)->push_back(std::move(entry));
  return MNL_CB_OK;
}

// Sends a dump request of the given type, its family header filled by fillHeader, and
// collects the replies that Parse accepts into entries.
template <typename Entry, bool (*Parse)(const nlmsghdr*, Entry*), typename FillHeader>
Error Dump(RouteChannel& channel, const char* step, std::uint16_t type, std::vector<Entry>* entries,
           FillHeader fillHeader) {
  std::vector<char> buffer;
  nlmsghdr* request = PutHeader(&buffer, type, NLM_F_DUMP);
  fillHeader(request);
  return channel.Run(step, request, Collect<Entry, Parse>, entries);
}

// ---- links ----

bool ParseLinkEntry(const nlmsghdr* message, Adapter* adapter) {
  *adapter = netlink::ParseLink(message);
  return true;
}

Error DumpLinks(RouteChannel& channel, std::vector<Adapter>* adapters) {
  return Dump<Adapter, ParseLinkEntry>(channel, "RTM_GETLINK", RTM_GETLINK, adapters, [](nlmsghdr* request) {
    netlink::PutFamilyHeader<ifinfomsg>(request)->ifi_family = AF_UNSPEC;
  });
}

struct LinkEntry {
  Adapter adapter;
  std::string kind;
};

bool ParseLinkWithKind(const nlmsghdr* message, LinkEntry* entry) {
  entry->adapter = netlink::ParseLink(message);
  entry->kind = netlink::LinkKind(message);
  return true;
}

Error DumpLinksWithKinds(RouteChannel& channel, std::vector<LinkEntry>* links) {
  return Dump<LinkEntry, ParseLinkWithKind>(channel, "RTM_GETLINK", RTM_GETLINK, links, [](nlmsghdr* request) {
    netlink::PutFamilyHeader<ifinfomsg>(request)->ifi_family = AF_UNSPEC;
  });
}

bool HasName(const Adapter& adapter, const std::string& name) {
  return std::find(adapter.friendlyNames.begin(), adapter.friendlyNames.end(), name) != adapter.friendlyNames.end();
}

// ---- addresses ----

struct InterfaceAddress {
  std::uint32_t index;
  AdapterAddress address;
};

bool ParseAddressEntry(const nlmsghdr* message, InterfaceAddress* entry) {
  return netlink::ParseAddress(message, &entry->index, &entry->address);
}

Error DumpAddresses(RouteChannel& channel, std::vector<InterfaceAddress>* addresses) {
  return Dump<InterfaceAddress, ParseAddressEntry>(channel, "RTM_GETADDR", RTM_GETADDR, addresses,
                                                   [](nlmsghdr* request) {
    netlink::PutFamilyHeader<ifaddrmsg>(request)->ifa_family = AF_INET;
  });
}

// ---- routes ----

bool ParseMainTableRoute(const nlmsghdr* message, RouteRecord* record) {
  const auto* info = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(message));
  if (info->rtm_family != AF_INET) return false;
  *record = netlink::ParseRoute(message);
  return record->table == RT_TABLE_MAIN;
}

Error DumpMainTable(RouteChannel& channel, std::vector<RouteRecord>* records) {
  return Dump<RouteRecord, ParseMainTableRoute>(channel, "RTM_GETROUTE", RTM_GETROUTE, records,
                                                [](nlmsghdr* request) {
    auto* info = netlink::PutFamilyHeader<rtmsg>(request);
    info->rtm_family = AF_INET;
    info->rtm_table = RT_TABLE_MAIN;
  });
}

int CollectOneRoute(const nlmsghdr* message, void* data) {
  *static_cast<RouteRecord*>(data) = netlink::ParseRoute(message);
  return MNL_CB_OK;
}

// The main table's own entry for a lookup result. The kernel describes a FIB match with
// the type of the lookup (multicast, broadcast) rather than the entry's, so the lookup's
// row is not the entry's key: sent back for deletion it matches nothing (ESRCH).
void TakeOwnEntry(RouteChannel& channel, RouteRecord* found) {
  if (found->table != RT_TABLE_MAIN || found->type == RTN_UNICAST) return;
  std::vector<RouteRecord> entries;
  if (DumpMainTable(channel, &entries).Failed()) return;
  for (RouteRecord& entry : entries) {
    const Route& route = entry.route;
    if (entry.prefixLength == found->prefixLength && route.destination == found->route.destination &&
        route.metric == found->route.metric && route.interfaceIndex == found->route.interfaceIndex &&
        route.gateway == found->route.gateway) {
      *found = std::move(entry);
      return;
    }
  }
}

Error SendRouteEcho(RouteChannel& channel, const char* step, const Route& route, std::uint16_t type,
                    std::uint16_t flags, std::uint16_t skipType, const std::uint32_t* metric) {
  std::vector<char> buffer;
  nlmsghdr* request = netlink::PutRouteEcho(&buffer, route, type, flags, skipType);
  if (metric != nullptr) mnl_attr_put_u32(request, RTA_PRIORITY, *metric);
  return channel.Run(step, request);
}

// ---- neighbours ----

Error DumpNeighbours(RouteChannel& channel, std::uint32_t interfaceIndex,
                     std::vector<netlink::Neighbour>* neighbours) {
  return Dump<netlink::Neighbour, netlink::ParseNeighbour>(
      channel, "RTM_GETNEIGH", RTM_GETNEIGH, neighbours, [interfaceIndex](nlmsghdr* request) {
        netlink::PutFamilyHeader<ndmsg>(request)->ndm_family = AF_INET;
        // With strict checking the interface filter goes in an attribute: an index in
        // the header makes the kernel return nothing at all.
        mnl_attr_put_u32(request, NDA_IFINDEX, interfaceIndex);
      });
}

Error DeleteNeighbour(RouteChannel& channel, std::uint32_t interfaceIndex, std::uint32_t address) {
  std::vector<char> buffer;
  nlmsghdr* request = PutHeader(&buffer, RTM_DELNEIGH, 0);
  auto* info = netlink::PutFamilyHeader<ndmsg>(request);
  info->ndm_family = AF_INET;
  info->ndm_ifindex = static_cast<int>(interfaceIndex);
  mnl_attr_put_u32(request, NDA_DST, address);
  return channel.Run("RTM_DELNEIGH", request);
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
Error ReadNameServers(const char* path, std::vector<std::uint32_t>* servers) {
  servers->clear();
  errno = 0;
  std::ifstream file(path);
  if (!file.is_open()) return errno == ENOENT ? Error::Success() : ErrnoError(errno != 0 ? errno : EIO, "open");
  std::string line;
  while (std::getline(file, line)) {
    std::uint32_t address = 0;
    if (ParseNameServerLine(line, &address)) servers->push_back(address);
  }
  return file.bad() ? ErrnoError(EIO, "read") : Error::Success();
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

// The adapters with their addresses and the gateways of their default routes, from
// the main table's dump, which is handed back in routes.
Error ReadAdapters(RouteChannel& channel, std::vector<Adapter>* adapters, std::vector<RouteRecord>* mainTable) {
  std::vector<Adapter> links;
  std::vector<InterfaceAddress> addresses;
  std::vector<RouteRecord>& routes = *mainTable;
  Error error = DumpLinks(channel, &links);
  if (error.Succeeded()) error = DumpAddresses(channel, &addresses);
  if (error.Succeeded()) error = DumpMainTable(channel, &routes);
  if (error.Failed()) return error;

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
  return Error::Success();
}

std::vector<Route> RoutesOf(std::vector<RouteRecord>&& records) {
  std::vector<Route> routes;
  routes.reserve(records.size());
  for (RouteRecord& record : records) routes.push_back(std::move(record.route));
  return routes;
}

Error ReadRoutes(RouteChannel& channel, std::vector<Route>* routes) {
  std::vector<RouteRecord> records;
  Error error = DumpMainTable(channel, &records);
  if (error.Succeeded()) *routes = RoutesOf(std::move(records));
  return error;
}

Error FindBestRoute(RouteChannel& channel, std::uint32_t address, Route* route) {
  std::vector<char> buffer;
  nlmsghdr* request = PutHeader(&buffer, RTM_GETROUTE, 0);
  auto* info = netlink::PutFamilyHeader<rtmsg>(request);
  info->rtm_family = AF_INET;
  info->rtm_dst_len = 32;
  // Without FIB_MATCH the kernel answers with a /32 result of the lookup, not with
  // the routing entry that produced it; without LOOKUP_TABLE it names the main table
  // whichever table the entry came from.
  info->rtm_flags = RTM_F_FIB_MATCH | RTM_F_LOOKUP_TABLE;
  mnl_attr_put_u32(request, RTA_DST, address);
  RouteRecord found;
  Error error = channel.Run("RTM_GETROUTE", request, CollectOneRoute, &found);
  if (error.Failed()) return error;
  if (!netlink::IsWellFormedRoute(found.route)) return ErrnoError(ENETUNREACH, "RTM_GETROUTE");
  TakeOwnEntry(channel, &found);
  *route = std::move(found.route);
  return Error::Success();
}

Error WriteRoute(RouteChannel& channel, std::uint32_t destination, std::uint32_t mask, std::uint32_t gateway,
                 std::uint32_t interfaceIndex, std::uint32_t metric) {
  unsigned prefixLength = 0;
  if (!netlink::MaskToPrefix(mask, &prefixLength)) return ErrnoError(EINVAL, "route mask");
  std::vector<char> buffer;
  nlmsghdr* request = netlink::PutAddRoute(&buffer, destination, prefixLength, gateway, interfaceIndex, metric);
  return channel.Run("RTM_NEWROUTE", request);
}

Error RemoveRoute(RouteChannel& channel, const Route& route) {
  if (!netlink::IsWellFormedRoute(route)) return ErrnoError(EINVAL, "RTM_DELROUTE");
  // The priority stays in the echo: without it the kernel deletes the lowest-metric
  // entry of the prefix, which need not be this one.
  return RouteDeletionError(SendRouteEcho(channel, "RTM_DELROUTE", route, RTM_DELROUTE, 0, RTA_UNSPEC, nullptr));
}

Error MoveRouteMetric(RouteChannel& channel, const Route& route, std::uint32_t metric) {
  if (!netlink::IsWellFormedRoute(route)) return ErrnoError(EINVAL, "RTM_NEWROUTE");
  if (metric == route.metric) return Error::Success();
  // The metric is part of a route's key: replacing in place would create a second
  // entry. Add the entry with its new metric first, then delete the old one, so the
  // destination is never without a route.
  Error error = SendRouteEcho(channel, "RTM_NEWROUTE", route, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, RTA_PRIORITY,
                              &metric);
  if (error.Failed()) return error;
  error = RemoveRoute(channel, route);
  if (error.Failed()) SendRouteEcho(channel, "RTM_DELROUTE", route, RTM_DELROUTE, 0, RTA_PRIORITY, &metric);
  return error;
}

Error FlushInterfaceNeighbours(RouteChannel& channel, std::uint32_t interfaceIndex) {
  std::vector<netlink::Neighbour> neighbours;
  Error error = DumpNeighbours(channel, interfaceIndex, &neighbours);
  if (error.Failed()) return error;
  for (const netlink::Neighbour& neighbour : neighbours) {
    if ((neighbour.state & (NUD_PERMANENT | NUD_NOARP)) != 0) continue;
    Error deleteError = DeleteNeighbour(channel, interfaceIndex, neighbour.address);
    // An entry that expired since the dump is already where we want it.
    if (deleteError.Failed() && deleteError.Code() != ENOENT && error.Succeeded()) error = deleteError;
  }
  return error;
}

class LinuxHostNetwork : public HostNetwork {
 public:
  HostSnapshot Snapshot(unsigned parts) override {
    HostSnapshot snapshot;
    if ((parts & HostSnapshot::kAdapters) != 0) {
      // The main table comes with the adapters (their gateways): one dump serves both.
      std::vector<RouteRecord> table;
      snapshot.adaptersError = ReadAdapters(channel_, &snapshot.adapters, &table);
      if ((parts & HostSnapshot::kRoutes) != 0) {
        snapshot.routesError = snapshot.adaptersError;
        snapshot.routes = RoutesOf(std::move(table));
      }
    } else if ((parts & HostSnapshot::kRoutes) != 0) {
      snapshot.routesError = ReadRoutes(channel_, &snapshot.routes);
    }
    // Linux keeps no interface metric: interfaceMetrics stays empty.
    if ((parts & HostSnapshot::kDnsServers) != 0) snapshot.dnsError = ListDnsServers(&snapshot.dnsServers);
    return snapshot;
  }
  Error BestRoute(std::uint32_t address, Route* route) override { return FindBestRoute(channel_, address, route); }
  Error AddRoute(std::uint32_t destination, std::uint32_t mask, std::uint32_t gateway, std::uint32_t interfaceIndex,
                 std::uint32_t metric) override {
    return WriteRoute(channel_, destination, mask, gateway, interfaceIndex, metric);
  }
  Error DeleteRoute(const Route& route) override { return RemoveRoute(channel_, route); }
  Error ChangeRouteMetric(const Route& route, std::uint32_t metric) override {
    return MoveRouteMetric(channel_, route, metric);
  }
  Error FlushNeighbours(std::uint32_t interfaceIndex) override {
    return FlushInterfaceNeighbours(channel_, interfaceIndex);
  }
  // Linux creates no 255.255.255.255 route: a limited broadcast follows the default
  // route unless a /32 route for it names an interface.
  bool KeepsBroadcastRoutePerInterface() const override { return false; }

 private:
  RouteChannel channel_;
};

}  // namespace

std::unique_ptr<HostNetwork> OpenHostNetwork() { return std::make_unique<LinuxHostNetwork>(); }

Error ListAdapters(std::vector<Adapter>* adapters) {
  RouteChannel channel;
  std::vector<RouteRecord> table;
  return ReadAdapters(channel, adapters, &table);
}

// OpenVPN names the TAP device after the device word, which need not be the adapter's
// friendly name: the device that carries the tunnel's address gets it as an alternative
// name, which goes with the device when OpenVPN closes it. Only a TUN/TAP device
// qualifies: an address the server pushes may also sit on a LAN interface.
Error NameTunnelAdapter(std::uint32_t tunnelAddress, const std::string& name) {
  RouteChannel channel;
  std::vector<LinkEntry> links;
  std::vector<InterfaceAddress> addresses;
  Error error = DumpLinksWithKinds(channel, &links);
  if (error.Succeeded()) error = DumpAddresses(channel, &addresses);
  if (error.Failed()) return error;
  auto carriesAddress = [&](const LinkEntry& link) {
    return link.kind == "tun" && std::any_of(addresses.begin(), addresses.end(), [&](const InterfaceAddress& entry) {
             return entry.index == link.adapter.index && entry.address.address == tunnelAddress;
           });
  };
  const LinkEntry* tunnel = nullptr;
  int candidates = 0;
  for (const LinkEntry& link : links) {
    if (!carriesAddress(link)) continue;
    if (HasName(link.adapter, name)) return Error::Success();
    tunnel = &link;
    ++candidates;
  }
  if (candidates != 1) return ErrnoError(ENODEV, "tunnel adapter");
  if (std::any_of(links.begin(), links.end(), [&](const LinkEntry& link) { return HasName(link.adapter, name); })) {
    return ErrnoError(EEXIST, "tunnel adapter name");
  }
  std::vector<char> buffer;
  return channel.Run("RTM_NEWLINKPROP", netlink::PutAlternativeName(&buffer, tunnel->adapter.index, name));
}

Error ListDnsServers(std::vector<std::uint32_t>* servers) {
  std::vector<std::uint32_t> configured;
  Error error = ReadNameServers(kResolverConfiguration, &configured);
  if (error.Failed()) return error;
  std::vector<std::uint32_t> upstream;
  if (std::any_of(configured.begin(), configured.end(), IsLoopback)) {
    error = ReadNameServers(kResolvedUpstreamConfiguration, &upstream);
    if (error.Failed()) return error;
  }
  *servers = ReplaceLocalResolver(configured, upstream);
  for (std::uint32_t server : ResolvedServers()) {
    if (std::find(servers->begin(), servers->end(), server) == servers->end()) servers->push_back(server);
  }
  return Error::Success();
}

// Linux keeps no IPv4 metric per interface: every route carries its own.
Error InterfaceMetric(std::uint32_t, std::optional<std::uint32_t>* metric) {
  metric->reset();
  return Error::Success();
}

Error BestRoute(std::uint32_t address, Route* route) {
  RouteChannel channel;
  return FindBestRoute(channel, address, route);
}

bool MarksOwnRoutes() { return true; }

Error DeleteRoute(const Route& route) {
  RouteChannel channel;
  return RemoveRoute(channel, route);
}

struct RouteDeletionWatch::Native {
  NetlinkAnnouncements announcements;  // Interrupt's wake stays pending: every later wait ends at once
};

RouteDeletionWatch::RouteDeletionWatch() : native_(std::make_unique<Native>()) {}
RouteDeletionWatch::~RouteDeletionWatch() = default;

Error RouteDeletionWatch::Open() { return native_->announcements.Open(RTMGRP_IPV4_ROUTE, "bind(RTMGRP_IPV4_ROUTE)"); }

RouteDeletionWatch::Wake RouteDeletionWatch::Wait(std::chrono::milliseconds timeout, std::vector<Route>* deleted) {
  switch (native_->announcements.Wait(timeout)) {
    case NetlinkAnnouncements::Ready::Failed: return Wake::Failed;
    case NetlinkAnnouncements::Ready::TimedOut: return Wake::TimedOut;
    case NetlinkAnnouncements::Ready::Woken: return Wake::Interrupted;
    case NetlinkAnnouncements::Ready::Announced: break;
  }
  std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
  for (;;) {
    const ssize_t size = recv(native_->announcements.Socket(), buffer.data(), buffer.size(), 0);
    if (size < 0 && errno == EINTR) continue;
    if (size < 0 && errno == ENOBUFS) return Wake::Lost;
    if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (size <= 0) return Wake::Failed;
    int remaining = static_cast<int>(size);
    for (auto* message = reinterpret_cast<const nlmsghdr*>(buffer.data()); mnl_nlmsg_ok(message, remaining);
         message = mnl_nlmsg_next(message, &remaining)) {
      if (message->nlmsg_type != RTM_DELROUTE) continue;
      RouteRecord record = netlink::ParseRoute(message);
      if (record.table == RT_TABLE_MAIN) deleted->push_back(std::move(record.route));
    }
  }
  return deleted->empty() ? Wake::TimedOut : Wake::Deleted;
}

void RouteDeletionWatch::Interrupt() { native_->announcements.Wake(); }

}  // namespace platform
