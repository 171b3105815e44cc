#include "routes/RouteManagement.h"

#include <algorithm>
#include <iostream>
#include <new>
#include <stdexcept>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "common/StatusReply.h"
#include "common/Text.h"
#include "routes/RouteLedger.h"

namespace vortan {
namespace RouteManagement {

const char* const kTunnelAdapterName = "Vortan-Dashlet";

namespace {

std::string ErrorReply(std::int32_t code, const std::string& message) {
  return MakeResponse(false, false, code, message);
}
std::string RouteErrorReply(std::int32_t code, const std::string& message) {
  return MakeResponse(false, true, code, message);
}
std::string RouteSuccessReply(std::int32_t code, const std::string& message) {
  return MakeResponse(true, true, code, message);
}

std::vector<std::string> SplitArguments(const std::string& arguments) { return SplitFields(arguments, " "); }

// The routes the client may delete: those of the main table that leave through the
// tunnel adapter, the only ones it can have added. Every other route belongs to the host.
bool IsTunnelRoute(const platform::Route& route, HostAccess& host) {
  if (!route.mainTable) return false;
  std::uint32_t tunnelIndex = GetAdapterIdx(kTunnelAdapterName, host);
  return tunnelIndex != kAllOnes && route.interfaceIndex == tunnelIndex;
}

// "route del" failures: the message, then the platform's code.
std::string DeleteRouteErrorReply(const char* message, const platform::Error& error) {
  return ErrorReply(6, message + std::to_string(error.Code()) + " ]");
}

void LogInvalidArgumentCount(const std::string& arguments) {
  CLOG(ERROR, loggers::kDefault) << "Invalid number of argument :  arg = " << arguments;
}

// The text after the command word, skipping the one character that follows it.
std::string ArgumentsAfter(const std::string& request, const std::string& word) {
  return request.size() > word.size() + 1 ? request.substr(word.size() + 1) : std::string();
}

bool NamesAdapter(const platform::Adapter& adapter, const std::string& name) {
  return std::find(adapter.friendlyNames.begin(), adapter.friendlyNames.end(), name) != adapter.friendlyNames.end();
}

// Overlap of two address ranges given as address and mask (network order).
bool RangesOverlap(std::uint32_t address, std::uint32_t mask, std::uint32_t otherAddress, std::uint32_t otherMask) {
  std::uint32_t low = NetToHost(address & mask);
  std::uint32_t high = NetToHost(address | ~mask);
  std::uint32_t otherLow = NetToHost(otherAddress & otherMask);
  std::uint32_t otherHigh = NetToHost(otherAddress | ~otherMask);
  return low <= otherHigh && otherLow <= high;
}

// Address blocks that are never a network behind a VPN: "this network", loopback,
// link-local (where cloud hosts keep their metadata service) and the reserved block with
// the limited broadcast address. A destination that reaches into one is refused.
struct ReservedBlock {
  const char* address;
  const char* mask;
};
constexpr ReservedBlock kReservedBlocks[] = {{"0.0.0.0", "255.0.0.0"},
                                             {"127.0.0.0", "255.0.0.0"},
                                             {"169.254.0.0", "255.255.0.0"},
                                             {"240.0.0.0", "240.0.0.0"}};

bool ReachesReservedBlock(std::uint32_t destination, std::uint32_t mask) {
  return std::any_of(std::begin(kReservedBlocks), std::end(kReservedBlocks), [&](const ReservedBlock& block) {
    return RangesOverlap(destination, mask, InetAddr(block.address), InetAddr(block.mask));
  });
}

// Parses one "route add" field; logs the field (logFormat names it) and returns false
// when it is no dotted IPv4 address.
bool ParseRouteField(const char* logFormat, const std::string& text, std::uint32_t* value) {
  if (ParseDottedQuad(text, value)) return true;
  el::Loggers::getLogger(loggers::kRoute)->error(logFormat, text);
  return false;
}

// Whether the main table's entry for destination/mask at metric (the first one, the one
// the host uses) is exactly the route through gateway on the interface. An exclusive add
// fails with "already exists" for any entry with the same prefix and metric, whatever its
// gateway or device: only this one is the route the client asked for.
bool IsRouteAlreadyPresent(HostAccess& host, std::uint32_t destination, std::uint32_t mask, std::uint32_t gateway,
                           std::uint32_t interfaceIndex, std::uint32_t metric) {
  std::vector<platform::Route> routes;
  if (host.ListRoutes(&routes).Failed()) return false;
  for (const platform::Route& route : routes) {
    if (route.destination != destination || route.mask != mask || route.metric != metric) continue;
    return route.gateway == gateway && route.interfaceIndex == interfaceIndex;
  }
  return false;
}

std::string CreateRouteReply(const platform::Error& error, ConflictKind kind, const std::string& destination,
                             const std::string& netmask, const IpAddrString& entry) {
  if (error.Succeeded()) {
    return RouteSuccessReply(ConflictReplyCode(kind), NetworkStatus::Message(kind, destination, netmask, entry));
  }
  el::Loggers::getLogger(loggers::kRoute)->error("Cannot add route : Error [%v]", error.Code());
  if (platform::IsAccessDenied(error)) return RouteErrorReply(9, "Cannot add route : Access denied");
  return RouteErrorReply(10, "Cannot add route : Error [ " + std::to_string(error.Code()) + " ]");
}

// A host that keeps a limited-broadcast route per interface has the tunnel's broadcast
// row ready: only its metric changes, in either mode.
//
// Linux keeps no such route: without a 255.255.255.255/32 route of its own, a limited
// broadcast follows the default route. The tunnel's broadcast row is therefore a
// 255.255.255.255/32 route of the main table on the tunnel device:
//  - no such route is the row at the platform's default metric, interface metric + 256;
//  - a route at metric N is the row at metric N ("on" mode writes one there).
// A /32 route on the tunnel wins over the default route at any metric, so the default
// metric that reset mode writes can only be had by removing every such route of the
// tunnel: broadcasts then leave through the host's own routes again.
std::uint32_t DefaultBroadcastMetric(std::uint32_t interfaceMetric) { return interfaceMetric + 256u; }

struct BroadcastRows {
  std::vector<platform::Route> tunnelRoutes;  // the tunnel's broadcast routes, table order
  std::uint32_t tunnelMetric = 0;             // the metric of the tunnel's row
  std::uint32_t lowestMetric = kAllOnes;      // of every broadcast row
};

bool IsLimitedBroadcastRoute(const platform::Route& route) {
  return route.destination == kAllOnes && route.mask == kAllOnes;
}

BroadcastRows FindBroadcastRows(const std::vector<platform::Route>& routes, std::uint32_t tunnelIndex,
                                std::uint32_t interfaceMetric) {
  BroadcastRows rows;
  rows.tunnelMetric = DefaultBroadcastMetric(interfaceMetric);
  for (const platform::Route& route : routes) {
    if (!IsLimitedBroadcastRoute(route)) continue;
    rows.lowestMetric = std::min(rows.lowestMetric, route.metric);
    if (route.interfaceIndex != tunnelIndex) continue;
    if (rows.tunnelRoutes.empty()) rows.tunnelMetric = route.metric;
    rows.tunnelRoutes.push_back(route);
  }
  rows.lowestMetric = std::min(rows.lowestMetric, rows.tunnelMetric);
  return rows;
}

platform::Error RemoveTunnelBroadcastRoutes(const std::vector<platform::Route>& tunnelRoutes, HostAccess& host) {
  platform::Error firstError;
  for (const platform::Route& route : tunnelRoutes) {
    platform::Error error = host.DeleteRoute(route);
    // A route that went away meanwhile is where reset wants it.
    if (error.Failed() && !platform::IsNotFound(error) && firstError.Succeeded()) firstError = error;
  }
  return firstError;
}

platform::Error WriteTunnelBroadcastRow(bool onMode, const BroadcastRows& rows, std::uint32_t tunnelIndex,
                                        std::uint32_t metric, HostAccess& host) {
  if (host.KeepsBroadcastRoutePerInterface()) return host.ChangeRouteMetric(rows.tunnelRoutes.front(), metric);
  if (!onMode) return RemoveTunnelBroadcastRoutes(rows.tunnelRoutes, host);
  if (rows.tunnelRoutes.empty()) return host.AddRoute(kAllOnes, kAllOnes, 0, tunnelIndex, metric);
  return host.ChangeRouteMetric(rows.tunnelRoutes.front(), metric);
}

void LogBroadcastMetric(bool onMode, std::uint32_t metric, std::uint32_t interfaceMetric, std::uint32_t lowestMetric) {
  el::Logger* logger = el::Loggers::getLogger(loggers::kRoute);
  if (onMode) {
    logger->debug("set metric for broadcast route to %v (=%v(vpn interface) + %v (lowest broadcat metric) -1)", metric,
                  interfaceMetric, lowestMetric);
  } else {
    logger->debug("set metric for broadcast route to %v (=%v(vpn interface) + 256", metric, interfaceMetric);
  }
}

void LogBroadcastWriteFailure(const platform::Error& error, std::uint32_t metric) {
  el::Logger* logger = el::Loggers::getLogger(loggers::kRoute);
  if (platform::IsInvalid(error)) {
    logger->error("Unable to change broadcast route to metric %v: Invalid parameter during reset of broadcast route.",
                  metric);
  } else {
    logger->error("Unable to change broadcast route: %v during reset of broadcast route.", error.Code());
  }
}

}  // namespace

platform::Error HostAccess::ListAdapters(std::vector<platform::Adapter>* adapters) {
  return platform::ListAdapters(adapters);
}
platform::Error HostAccess::InterfaceMetric(std::uint32_t interfaceIndex, std::optional<std::uint32_t>* metric) {
  return platform::InterfaceMetric(interfaceIndex, metric);
}
platform::Error HostAccess::BestRoute(std::uint32_t address, platform::Route* route) {
  return platform::BestRoute(address, route);
}
platform::Error HostAccess::AddRoute(std::uint32_t destination, std::uint32_t mask, std::uint32_t gateway,
                                     std::uint32_t interfaceIndex, std::uint32_t metric) {
  return platform::AddRoute(destination, mask, gateway, interfaceIndex, metric);
}
platform::Error HostAccess::DeleteRoute(const platform::Route& route) { return platform::DeleteRoute(route); }
platform::Error HostAccess::ListRoutes(std::vector<platform::Route>* routes) { return platform::ListRoutes(routes); }
bool HostAccess::KeepsBroadcastRoutePerInterface() { return platform::KeepsBroadcastRoutePerInterface(); }
platform::Error HostAccess::ChangeRouteMetric(const platform::Route& route, std::uint32_t metric) {
  return platform::ChangeRouteMetric(route, metric);
}
platform::Error HostAccess::FlushNeighbours(std::uint32_t interfaceIndex) {
  return platform::FlushNeighbours(interfaceIndex);
}
std::unique_ptr<NetworkStatus> HostAccess::NewNetworkStatus() { return std::make_unique<NetworkStatus>(); }

std::string Dispatch(const std::string& request) {
  HostAccess host;
  return Dispatch(request, host);
}

std::string Dispatch(const std::string& request, HostAccess& host) {
  if (StartsWith(request, "route add")) return AddRoute(ArgumentsAfter(request, "route add"), host);
  if (StartsWith(request, "route broadcast")) {
    return SetBroadcastRoute(ArgumentsAfter(request, "route broadcast"), host);
  }
  if (StartsWith(request, "route del")) return DelRoute(ArgumentsAfter(request, "route del"), host);
  if (StartsWith(request, "route postconnect")) return PostConnect(host);
  return ErrorReply(1, "NOT IMPLEMENTED");
}

std::string AddRoute(const std::string& arguments, HostAccess& host) {
  std::vector<std::string> tokens = SplitArguments(arguments);
  if (tokens.size() != 4) {
    LogInvalidArgumentCount(arguments);
    return ErrorReply(2, "Invalid number of argument");
  }
  const std::string& destinationText = tokens[0];
  const std::string& netmaskText = tokens[1];
  std::uint32_t gateway = 0;
  std::uint32_t destination = 0;
  std::uint32_t netmask = 0;
  if (!ParseRouteField("Invalid Route address Gateway[%v]", tokens[2], &gateway) ||
      !ParseRouteField("Invalid Route address Destination[%v]", destinationText, &destination) ||
      !ParseRouteField("Invalid Route address Mask[%v]", netmaskText, &netmask)) {
    return RouteErrorReply(8, "Invalid Route address");
  }
  if (ReachesReservedBlock(destination, netmask)) {
    el::Loggers::getLogger(loggers::kRoute)
        ->error("Invalid Route address Destination[%v/%v]: a reserved address block", destinationText, netmaskText);
    return RouteErrorReply(8, "Invalid Route address");
  }

  std::unique_ptr<NetworkStatus> status = host.NewNetworkStatus();
  ConflictKind kind = ConflictKind::None;
  try {
    kind = status->Analyse(destinationText, netmaskText);
  } catch (const std::runtime_error& error) {
    CLOG(ERROR, loggers::kRoute) << "Cannot analyse the host's networks: " << error.what();
    return RouteErrorReply(10, error.what());
  }
  const IpAddrString entry = status->ConflictEntry();
  if (kind != ConflictKind::None && kind != ConflictKind::SubnetOfLan) {
    return RouteErrorReply(ConflictReplyCode(kind), NetworkStatus::Message(kind, destinationText, netmaskText, entry));
  }

  std::uint32_t tunnelIndex = FindTunnelInterface(kTunnelAdapterName, gateway, kAllOnes, host);
  if (tunnelIndex == kAllOnes) {
    return RouteErrorReply(7, "failed to get Tap interface -> Can't create route to Brix's LAN. </br>");
  }
  std::uint32_t metric = GetInterfaceMetric(tunnelIndex, gateway, host);
  // Recorded before the kernel has it: a crash in between leaves a record, never an
  // unrecorded route.
  const bool recorded = RouteLedger::Shared().Record(LedgerRoute{destination, netmask, gateway, tunnelIndex, metric, 0, {}});
  platform::Error error = host.AddRoute(destination, netmask, gateway, tunnelIndex, metric);
  if (platform::IsAlreadyExists(error) &&
      IsRouteAlreadyPresent(host, destination, netmask, gateway, tunnelIndex, metric)) {
    error = platform::Error::Success();
  }
  if (recorded && error.Failed()) RouteLedger::Shared().Forget(destination, netmask);
  return CreateRouteReply(error, kind, destinationText, netmaskText, entry);
}

std::string DelRoute(const std::string& arguments, HostAccess& host) {
  std::uint32_t address = InetAddr(arguments);
  // The parser's error value is all ones: text that is no address must not select the
  // limited-broadcast route for deletion.
  std::uint32_t literal = 0;
  if (address == kAllOnes && !ParseDottedQuad(arguments, &literal)) return "ERROR";
  if (address == 0) return "ERROR";

  platform::Route route;
  platform::Error error = host.BestRoute(address, &route);
  if (error.Failed()) return DeleteRouteErrorReply("Cannot find route to delete : Error [ ", error);
  if (route.destination == 0) return "ERROR";  // the default route is never deleted
  if (!IsTunnelRoute(route, host)) {
    el::Loggers::getLogger(loggers::kRoute)
        ->error("Cannot delete route %v/%v: it does not leave through the tunnel adapter",
                FormatDotted(route.destination), FormatDotted(route.mask));
    return DeleteRouteErrorReply("Cannot delete route : Error [ ", platform::NotPermitted("route del"));
  }
  // Forgotten first: the ledger's worker must not take the deletion for another
  // program's and put the route back.
  const std::vector<LedgerRoute> before = RouteLedger::Shared().Routes();
  RouteLedger::Shared().Forget(route.destination, route.mask);
  error = host.DeleteRoute(route);
  if (error.Failed()) {
    for (const LedgerRoute& kept : before) {
      if (kept.destination == route.destination && kept.mask == route.mask) RouteLedger::Shared().Record(kept);
    }
    return DeleteRouteErrorReply("Cannot delete route : Error [ ", error);
  }
  return "OK";
}

std::string SetBroadcastRoute(const std::string& arguments, HostAccess& host) {
  std::vector<std::string> tokens = SplitArguments(arguments);
  if (tokens.size() != 2) {
    LogInvalidArgumentCount(arguments);
    return ErrorReply(18, "Broadcast route: Invalid number of argument");
  }
  const bool onMode = IsBroadcastOnMode(tokens[0]);
  const std::uint32_t deviceAddress = InetAddr(tokens[1]);
  std::uint32_t tunnelIndex = FindTunnelInterface(kTunnelAdapterName, deviceAddress, kAllOnes, host);
  if (tunnelIndex == kAllOnes) {
    return ErrorReply(14, "failed to query route to Brix -> Can't update metic to route broadcast to Brix's LAN.</br>");
  }

  std::optional<std::uint32_t> interfaceMetric;
  platform::Error error = host.InterfaceMetric(tunnelIndex, &interfaceMetric);
  if (error.Failed()) {
    return ErrorReply(19, "failed to query interfaceInfo -> Can't update metic to route broadcast to Brix's LAN." +
                              std::to_string(error.Code()) + "</br>");
  }
  // A host without interface metrics adds nothing to its routes' metrics.
  const std::uint32_t vpnInterfaceMetric = interfaceMetric.value_or(0);

  std::vector<platform::Route> routes;
  try {
    error = host.ListRoutes(&routes);
  } catch (const std::bad_alloc&) {
    return ErrorReply(15, "Unable to allocate memory for the IPFORWARDTALE");
  }
  if (error.Failed()) return ErrorReply(16, "getIpForwardTable failed.");
  BroadcastRows rows;
  try {
    rows = FindBroadcastRows(routes, tunnelIndex, vpnInterfaceMetric);
  } catch (const std::bad_alloc&) {
    return ErrorReply(17, "Malloc failed. Out of memory.");
  }
  if (rows.tunnelRoutes.empty() && host.KeepsBroadcastRoutePerInterface()) {
    CLOG(ERROR, loggers::kDefault) << "Unable to change broadcast route";
    return "OK";
  }

  std::optional<std::uint32_t> metric = BroadcastTargetMetric(onMode, vpnInterfaceMetric, rows.lowestMetric,
                                                              rows.tunnelMetric, !rows.tunnelRoutes.empty());
  if (!metric) return "OK";
  LogBroadcastMetric(onMode, *metric, vpnInterfaceMetric, rows.lowestMetric);
  // Where the host keeps a broadcast row of its own per interface, the row is the
  // host's: only the one the service adds is recorded.
  if (!host.KeepsBroadcastRoutePerInterface()) {
    if (onMode) {
      RouteLedger::Shared().Record(LedgerRoute{kAllOnes, kAllOnes, 0, tunnelIndex, *metric, 0, {}});
    } else {
      RouteLedger::Shared().Forget(kAllOnes, kAllOnes);
    }
  }
  error = WriteTunnelBroadcastRow(onMode, rows, tunnelIndex, *metric, host);
  if (error.Failed()) LogBroadcastWriteFailure(error, *metric);
  return "OK";
}

std::string PostConnect(HostAccess& host) {
  std::uint32_t index = GetAdapterIdx(kTunnelAdapterName, host);
  CLOG(DEBUG, loggers::kDefault) << "Found adapter at " << index;
  std::uint32_t result = static_cast<std::uint32_t>(host.FlushNeighbours(index).Code());
  CLOG(DEBUG, loggers::kDefault) << "flush response: " << result;
  return RouteSuccessReply(1, "post connect arp cleanup done");
}

std::uint32_t GetAdapterIdx(std::string name, HostAccess& host) {
  CLOG(DEBUG, loggers::kDefault) << "Looking for adapter " << name;
  std::vector<platform::Adapter> adapters;
  try {
    if (host.ListAdapters(&adapters).Failed()) return kAllOnes;
  } catch (const std::bad_alloc&) {
    std::cout << "Memory allocation failed for IP_ADAPTER_ADDRESSES struct\n";
    return kAllOnes;
  }
  std::uint32_t index = kAllOnes;
  for (const platform::Adapter& adapter : adapters) {
    if (NamesAdapter(adapter, name)) {
      el::Loggers::getLogger(loggers::kRoute)->debug("Found adapter: %v ( %v )", adapter.name, adapter.description);
      index = adapter.index;
      break;
    }
  }
  CLOG(DEBUG, loggers::kDefault) << "Found adapter at " << index;
  return index;
}

std::uint32_t FindTunnelInterface(const std::string& name, std::uint32_t address, std::uint32_t mask,
                                  HostAccess& host) {
  if (address == 0 || mask == 0) return kAllOnes;
  std::uint32_t tunnelIndex = GetAdapterIdx(name, host);
  std::vector<platform::Adapter> adapters;
  if (host.ListAdapters(&adapters).Failed()) return kAllOnes;
  for (const platform::Adapter& adapter : adapters) {
    for (const platform::AdapterAddress& entry : adapter.addresses) {
      if (entry.address == 0 || entry.mask == 0) continue;
      if (RangesOverlap(entry.address, entry.mask, address, mask) && adapter.index == tunnelIndex) return tunnelIndex;
    }
  }
  return kAllOnes;
}

std::uint32_t GetInterfaceMetric(std::uint32_t interfaceIndex, std::uint32_t address, HostAccess& host) {
  std::optional<std::uint32_t> metric;
  if (host.InterfaceMetric(interfaceIndex, &metric).Failed()) return kAllOnes;
  if (metric) return *metric;
  // A host without interface metrics: the metric of the route it uses for the address
  // stands for the interface's.
  platform::Route route;
  if (host.BestRoute(address, &route).Failed()) return kAllOnes;
  return route.metric;
}

std::int32_t ConflictReplyCode(ConflictKind kind) {
  switch (kind) {
    case ConflictKind::None:
      return 1;
    case ConflictKind::DnsServer:
      return 5;
    case ConflictKind::Gateway:
      return 4;
    case ConflictKind::LocalAddress:
    case ConflictKind::WinsServer:
      return 6;
    case ConflictKind::SubnetOfLan:
      return 2;
    case ConflictKind::HidesLan:
      return 3;
  }
  return 10;
}

bool IsBroadcastOnMode(const std::string& token) { return token.size() >= 2 && token.compare(0, 2, "on") == 0; }

std::optional<std::uint32_t> BroadcastTargetMetric(bool onMode, std::uint32_t interfaceMetric,
                                                   std::uint32_t lowestMetric, std::uint32_t currentMetric,
                                                   bool tunnelHasRow) {
  if (!onMode) return interfaceMetric + 256u;
  // A tunnel row that is already the lowest has nothing to go below. With an interface
  // metric of at least 1 the arithmetic below finds that too; without one (a host
  // that keeps no interface metric) the target would be one below the row itself, and
  // every repeated request would lower it again.
  if (tunnelHasRow && currentMetric <= lowestMetric) return std::nullopt;
  // The metric only ever goes down in "on" mode.
  std::uint32_t target = interfaceMetric + lowestMetric - 1u;
  if (target >= currentMetric) return std::nullopt;
  return target;
}

}  // namespace RouteManagement
}  // namespace vortan
