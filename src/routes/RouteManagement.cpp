#include "routes/RouteManagement.h"

#include <algorithm>
#include <iostream>
#include <new>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "routes/RouteLedger.h"

namespace vortan {
namespace RouteManagement {

const char* const kTunnelAdapterName = "Vortan-Dashlet";

namespace {

using platform::HostSnapshot;

RouteOutcome Outcome(RouteOutcomeKind kind, platform::NativeErrorCode code = 0) {
  RouteOutcome outcome;
  outcome.kind = kind;
  outcome.code = code;
  return outcome;
}

std::vector<std::string> SplitArguments(const std::string& arguments) { return SplitFields(arguments, " "); }

// The host as one command reads it. A host that runs out of memory while reading is
// known by outOfMemory: every part then counts as unreadable.
struct Reading {
  HostSnapshot snapshot;
  bool outOfMemory = false;
};

Reading ReadHost(platform::HostNetwork& host, unsigned parts) {
  Reading reading;
  try {
    reading.snapshot = host.Snapshot(parts);
  } catch (const std::bad_alloc&) {
    reading.snapshot = HostSnapshot{};
    reading.outOfMemory = true;
    const platform::Error failed(platform::ErrorKind::Other, 0, "out of memory");
    reading.snapshot.adaptersError = reading.snapshot.routesError = reading.snapshot.dnsError = failed;
    if ((parts & HostSnapshot::kAdapters) != 0) {
      std::cout << "Memory allocation failed for IP_ADAPTER_ADDRESSES struct\n";
    }
  }
  return reading;
}

// The tunnel adapter's index in what was read; all ones when the adapters could not be.
std::uint32_t TunnelIndex(const HostSnapshot& snapshot) {
  if (snapshot.adaptersError.Failed()) {
    CLOG(DEBUG, loggers::kDefault) << "Looking for adapter " << kTunnelAdapterName;
    return kAllOnes;
  }
  return GetAdapterIdx(kTunnelAdapterName, snapshot.adapters);
}

// The tunnel adapter's index when one of its networks holds address, in what was read.
std::uint32_t TunnelAround(const HostSnapshot& snapshot, std::uint32_t address) {
  if (snapshot.adaptersError.Succeeded() || address == 0) {
    return FindTunnelInterface(kTunnelAdapterName, address, kAllOnes, snapshot.adapters);
  }
  return TunnelIndex(snapshot);  // all ones
}

// The interface's own metric as read with the adapters: none where the host keeps
// none, the read's error where it failed.
platform::Error InterfaceMetricOf(const HostSnapshot& snapshot, std::uint32_t index,
                                  std::optional<std::uint32_t>* metric) {
  metric->reset();
  for (const HostSnapshot::InterfaceMetricEntry& entry : snapshot.interfaceMetrics) {
    if (entry.interfaceIndex != index) continue;
    *metric = entry.metric;
    return entry.error;
  }
  return platform::Error::Success();
}

// The tunnel's metric for a new route: the interface's, or on a host without one the
// metric of the route the host uses for the gateway. All ones when it cannot be read.
std::uint32_t TunnelRouteMetric(const HostSnapshot& snapshot, std::uint32_t index, std::uint32_t gateway,
                                platform::HostNetwork& host) {
  std::optional<std::uint32_t> metric;
  if (InterfaceMetricOf(snapshot, index, &metric).Failed()) return kAllOnes;
  if (metric) return *metric;
  platform::Route route;
  if (host.BestRoute(gateway, &route).Failed()) return kAllOnes;
  return route.metric;
}

// The routes the client may delete: those of the main table that leave through the
// tunnel adapter, the only ones it can have added. Every other route belongs to the host.
bool IsTunnelRoute(const platform::Route& route, platform::HostNetwork& host) {
  if (!route.mainTable) return false;
  const std::uint32_t tunnelIndex = TunnelIndex(ReadHost(host, HostSnapshot::kAdapters).snapshot);
  return tunnelIndex != kAllOnes && route.interfaceIndex == tunnelIndex;
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
  std::uint32_t address;  // host order
  std::uint32_t mask;
};
constexpr ReservedBlock kReservedBlocks[] = {{0x00000000u, 0xFF000000u},   // 0.0.0.0/8
                                             {0x7F000000u, 0xFF000000u},   // 127.0.0.0/8
                                             {0xA9FE0000u, 0xFFFF0000u},   // 169.254.0.0/16
                                             {0xF0000000u, 0xF0000000u}};  // 240.0.0.0/4

bool ReachesReservedBlock(std::uint32_t destination, std::uint32_t mask) {
  return std::any_of(std::begin(kReservedBlocks), std::end(kReservedBlocks), [&](const ReservedBlock& block) {
    return RangesOverlap(destination, mask, HostToNet(block.address), HostToNet(block.mask));
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
// The table read before the add serves: an entry that made the add fail was there then.
bool IsRouteAlreadyPresent(const HostSnapshot& snapshot, std::uint32_t destination, std::uint32_t mask,
                           std::uint32_t gateway, std::uint32_t interfaceIndex, std::uint32_t metric) {
  if (snapshot.routesError.Failed()) return false;
  for (const platform::Route& route : snapshot.routes) {
    if (route.destination != destination || route.mask != mask || route.metric != metric) continue;
    return route.gateway == gateway && route.interfaceIndex == interfaceIndex;
  }
  return false;
}

RouteOutcome CreateRouteOutcome(const platform::Error& error, const Conflict& conflict) {
  if (error.Succeeded()) {
    RouteOutcome outcome = Outcome(RouteOutcomeKind::Added);
    outcome.detail = conflict;
    return outcome;
  }
  el::Loggers::getLogger(loggers::kRoute)->error("Cannot add route : Error [%v]", error.Code());
  if (platform::IsAccessDenied(error)) return Outcome(RouteOutcomeKind::AddAccessDenied);
  return Outcome(RouteOutcomeKind::AddFailed, error.Code());
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

platform::Error RemoveTunnelBroadcastRoutes(const std::vector<platform::Route>& tunnelRoutes,
                                            platform::HostNetwork& host) {
  platform::Error firstError;
  for (const platform::Route& route : tunnelRoutes) {
    platform::Error error = host.DeleteRoute(route);
    // A route that went away meanwhile is where reset wants it.
    if (error.Failed() && !platform::IsNotFound(error) && firstError.Succeeded()) firstError = error;
  }
  return firstError;
}

platform::Error WriteTunnelBroadcastRow(bool onMode, const BroadcastRows& rows, std::uint32_t tunnelIndex,
                                        std::uint32_t metric, platform::HostNetwork& host) {
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

RouteOutcome Dispatch(const std::string& request, RouteLedger& ledger) {
  const std::unique_ptr<platform::HostNetwork> host = platform::OpenHostNetwork();
  return Dispatch(request, *host, ledger);
}

RouteOutcome Dispatch(const std::string& request, platform::HostNetwork& host, RouteLedger& ledger) {
  if (StartsWith(request, "route add")) return AddRoute(ArgumentsAfter(request, "route add"), host, ledger);
  if (StartsWith(request, "route broadcast")) {
    return SetBroadcastRoute(ArgumentsAfter(request, "route broadcast"), host, ledger);
  }
  if (StartsWith(request, "route del")) return DelRoute(ArgumentsAfter(request, "route del"), host, ledger);
  if (StartsWith(request, "route postconnect")) return PostConnect(host);
  return Outcome(RouteOutcomeKind::NotImplemented);
}

RouteOutcome AddRoute(const std::string& arguments, platform::HostNetwork& host, RouteLedger& ledger) {
  std::vector<std::string> tokens = SplitArguments(arguments);
  if (tokens.size() != 4) {
    LogInvalidArgumentCount(arguments);
    return Outcome(RouteOutcomeKind::AddArgumentCount);
  }
  const std::string& destinationText = tokens[0];
  const std::string& netmaskText = tokens[1];
  std::uint32_t gateway = 0;
  std::uint32_t destination = 0;
  std::uint32_t netmask = 0;
  if (!ParseRouteField("Invalid Route address Gateway[%v]", tokens[2], &gateway) ||
      !ParseRouteField("Invalid Route address Destination[%v]", destinationText, &destination) ||
      !ParseRouteField("Invalid Route address Mask[%v]", netmaskText, &netmask)) {
    return Outcome(RouteOutcomeKind::InvalidAddress);
  }
  if (ReachesReservedBlock(destination, netmask)) {
    el::Loggers::getLogger(loggers::kRoute)
        ->error("Invalid Route address Destination[%v/%v]: a reserved address block", destinationText, netmaskText);
    return Outcome(RouteOutcomeKind::InvalidAddress);
  }

  const Reading reading =
      ReadHost(host, HostSnapshot::kAdapters | HostSnapshot::kRoutes | HostSnapshot::kDnsServers);
  const HostSnapshot& snapshot = reading.snapshot;
  if (snapshot.dnsError.Failed() || snapshot.adaptersError.Failed()) {
    const bool dns = snapshot.dnsError.Failed();
    CLOG(ERROR, loggers::kRoute) << "Cannot analyse the host's networks: could not allocate memory for "
                                 << (dns ? "GetNetworkParams" : "GetAdaptersInfo") << " call";
    return Outcome(dns ? RouteOutcomeKind::DnsServersUnreadable : RouteOutcomeKind::AdaptersUnreadable);
  }
  const Conflict conflict = AnalyseConflict(snapshot.adapters, snapshot.dnsServers, destination, netmask);
  if (conflict.kind != ConflictKind::None && conflict.kind != ConflictKind::SubnetOfLan) {
    RouteOutcome refused = Outcome(RouteOutcomeKind::Refused);
    refused.detail = conflict;
    return refused;
  }

  std::uint32_t tunnelIndex = TunnelAround(snapshot, gateway);
  if (tunnelIndex == kAllOnes) return Outcome(RouteOutcomeKind::NoTunnelAdapter);
  std::uint32_t metric = TunnelRouteMetric(snapshot, tunnelIndex, gateway, host);
  // Recorded before the kernel has it: a crash in between leaves a record, never an
  // unrecorded route.
  const bool recorded = ledger.Record(LedgerRoute{destination, netmask, gateway, tunnelIndex, metric, 0, {}});
  platform::Error error = host.AddRoute(destination, netmask, gateway, tunnelIndex, metric);
  if (platform::IsAlreadyExists(error) &&
      IsRouteAlreadyPresent(snapshot, destination, netmask, gateway, tunnelIndex, metric)) {
    error = platform::Error::Success();
  }
  if (recorded && error.Failed()) ledger.Forget(destination, netmask);
  return CreateRouteOutcome(error, conflict);
}

RouteOutcome DelRoute(const std::string& arguments, platform::HostNetwork& host, RouteLedger& ledger) {
  std::uint32_t address = InetAddr(arguments);
  // The parser's error value is all ones: text that is no address must not select the
  // limited-broadcast route for deletion.
  std::uint32_t literal = 0;
  if (address == kAllOnes && !ParseDottedQuad(arguments, &literal)) return Outcome(RouteOutcomeKind::Declined);
  if (address == 0) return Outcome(RouteOutcomeKind::Declined);

  platform::Route route;
  platform::Error error = host.BestRoute(address, &route);
  if (error.Failed()) return Outcome(RouteOutcomeKind::DeleteLookupFailed, error.Code());
  if (route.destination == 0) return Outcome(RouteOutcomeKind::Declined);  // the default route is never deleted
  if (!IsTunnelRoute(route, host)) {
    el::Loggers::getLogger(loggers::kRoute)
        ->error("Cannot delete route %v/%v: it does not leave through the tunnel adapter",
                FormatDotted(route.destination), FormatDotted(route.mask));
    return Outcome(RouteOutcomeKind::DeleteFailed, platform::NotPermitted("route del").Code());
  }
  // Forgotten first: the ledger's worker must not take the deletion for another
  // program's and put the route back.
  const std::vector<LedgerRoute> before = ledger.Routes();
  ledger.Forget(route.destination, route.mask);
  error = host.DeleteRoute(route);
  if (error.Failed()) {
    for (const LedgerRoute& kept : before) {
      if (kept.destination == route.destination && kept.mask == route.mask) ledger.Record(kept);
    }
    return Outcome(RouteOutcomeKind::DeleteFailed, error.Code());
  }
  return Outcome(RouteOutcomeKind::Done);
}

RouteOutcome SetBroadcastRoute(const std::string& arguments, platform::HostNetwork& host, RouteLedger& ledger) {
  std::vector<std::string> tokens = SplitArguments(arguments);
  if (tokens.size() != 2) {
    LogInvalidArgumentCount(arguments);
    return Outcome(RouteOutcomeKind::BroadcastArgumentCount);
  }
  const bool onMode = IsBroadcastOnMode(tokens[0]);
  const std::uint32_t deviceAddress = InetAddr(tokens[1]);
  const Reading reading = ReadHost(host, HostSnapshot::kAdapters | HostSnapshot::kRoutes);
  if (reading.outOfMemory) return Outcome(RouteOutcomeKind::BroadcastTableOutOfMemory);
  const HostSnapshot& snapshot = reading.snapshot;
  const std::uint32_t tunnelIndex = TunnelAround(snapshot, deviceAddress);
  if (tunnelIndex == kAllOnes) return Outcome(RouteOutcomeKind::BroadcastNoTunnel);

  std::optional<std::uint32_t> interfaceMetric;
  platform::Error error = InterfaceMetricOf(snapshot, tunnelIndex, &interfaceMetric);
  if (error.Failed()) return Outcome(RouteOutcomeKind::BroadcastNoInterfaceMetric, error.Code());
  // A host without interface metrics adds nothing to its routes' metrics.
  const std::uint32_t vpnInterfaceMetric = interfaceMetric.value_or(0);

  if (snapshot.routesError.Failed()) return Outcome(RouteOutcomeKind::BroadcastTableUnreadable);
  BroadcastRows rows;
  try {
    rows = FindBroadcastRows(snapshot.routes, tunnelIndex, vpnInterfaceMetric);
  } catch (const std::bad_alloc&) {
    return Outcome(RouteOutcomeKind::BroadcastRowOutOfMemory);
  }
  if (rows.tunnelRoutes.empty() && host.KeepsBroadcastRoutePerInterface()) {
    CLOG(ERROR, loggers::kDefault) << "Unable to change broadcast route";
    return Outcome(RouteOutcomeKind::Done);
  }

  std::optional<std::uint32_t> metric = BroadcastTargetMetric(onMode, vpnInterfaceMetric, rows.lowestMetric,
                                                              rows.tunnelMetric, !rows.tunnelRoutes.empty());
  if (!metric) return Outcome(RouteOutcomeKind::Done);
  LogBroadcastMetric(onMode, *metric, vpnInterfaceMetric, rows.lowestMetric);
  // Where the host keeps a broadcast row of its own per interface, the row is the
  // host's: only the one the service adds is recorded.
  if (!host.KeepsBroadcastRoutePerInterface()) {
    if (onMode) {
      ledger.Record(LedgerRoute{kAllOnes, kAllOnes, 0, tunnelIndex, *metric, 0, {}});
    } else {
      ledger.Forget(kAllOnes, kAllOnes);
    }
  }
  error = WriteTunnelBroadcastRow(onMode, rows, tunnelIndex, *metric, host);
  if (error.Failed()) LogBroadcastWriteFailure(error, *metric);
  return Outcome(RouteOutcomeKind::Done);
}

RouteOutcome PostConnect(platform::HostNetwork& host) {
  std::uint32_t index = TunnelIndex(ReadHost(host, HostSnapshot::kAdapters).snapshot);
  CLOG(DEBUG, loggers::kDefault) << "Found adapter at " << index;
  std::uint32_t result = static_cast<std::uint32_t>(host.FlushNeighbours(index).Code());
  CLOG(DEBUG, loggers::kDefault) << "flush response: " << result;
  return Outcome(RouteOutcomeKind::NeighboursFlushed);
}

std::uint32_t GetAdapterIdx(const std::string& name, const std::vector<platform::Adapter>& adapters) {
  CLOG(DEBUG, loggers::kDefault) << "Looking for adapter " << name;
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
                                  const std::vector<platform::Adapter>& adapters) {
  if (address == 0 || mask == 0) return kAllOnes;
  std::uint32_t tunnelIndex = GetAdapterIdx(name, adapters);
  for (const platform::Adapter& adapter : adapters) {
    for (const platform::AdapterAddress& entry : adapter.addresses) {
      if (entry.address == 0 || entry.mask == 0) continue;
      if (RangesOverlap(entry.address, entry.mask, address, mask) && adapter.index == tunnelIndex) return tunnelIndex;
    }
  }
  return kAllOnes;
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
