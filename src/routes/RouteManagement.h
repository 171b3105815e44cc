#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/HostNetwork.h"
#include "routes/RouteOutcome.h"

namespace vortan {

class RouteLedger;

namespace RouteManagement {

// The friendly name of the tunnel (TAP) adapter.
extern const char* const kTunnelAdapterName;  // "Vortan-Dashlet"

// Any request line that begins with "route", on the system's host network; the routes
// written and deleted are recorded in ledger. Each command reads the host once (one
// snapshot) and decides on that copy; only its writes go to the host again.
RouteOutcome Dispatch(const std::string& request, RouteLedger& ledger);
RouteOutcome Dispatch(const std::string& request, platform::HostNetwork& host, RouteLedger& ledger);

// "route add": destination, netmask, gateway, metric (ignored: the route's metric
// follows the tunnel adapter).
RouteOutcome AddRoute(const std::string& arguments, platform::HostNetwork& host, RouteLedger& ledger);
// "route del": removes the route the host would use for an address when that route is
// one of the main table leaving through the tunnel adapter (never the default route);
// any other route is refused.
RouteOutcome DelRoute(const std::string& arguments, platform::HostNetwork& host, RouteLedger& ledger);
// "route broadcast": mode and device address; moves the tunnel's limited-broadcast
// route metric ("on": limited broadcasts leave through the tunnel; reset: they no
// longer do).
RouteOutcome SetBroadcastRoute(const std::string& arguments, platform::HostNetwork& host, RouteLedger& ledger);
// "route postconnect": empties the tunnel adapter's neighbour (ARP) cache.
RouteOutcome PostConnect(platform::HostNetwork& host);

// Index of the adapter whose name (or alias) is exactly name; all ones when none.
std::uint32_t GetAdapterIdx(const std::string& name, const std::vector<platform::Adapter>& adapters);
// Index of the named adapter when one of its IPv4 networks overlaps address/mask
// (network order); all ones otherwise.
std::uint32_t FindTunnelInterface(const std::string& name, std::uint32_t address, std::uint32_t mask,
                                  const std::vector<platform::Adapter>& adapters);

// "route broadcast": a mode token beginning with "on" selects the "on" mode.
bool IsBroadcastOnMode(const std::string& token);
// The metric to give the tunnel's broadcast route, from the tunnel interface's metric,
// the lowest broadcast-route metric of the table, the route's current metric and
// whether the tunnel has a broadcast route at all (unsigned arithmetic with
// wrap-around); none when the "on" mode changes nothing.
std::optional<std::uint32_t> BroadcastTargetMetric(bool onMode, std::uint32_t interfaceMetric,
                                                   std::uint32_t lowestMetric, std::uint32_t currentMetric,
                                                   bool tunnelHasRow);

}  // namespace RouteManagement
}  // namespace vortan
