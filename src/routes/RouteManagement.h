#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "routes/NetworkStatus.h"
#include "platform/HostNetwork.h"

namespace vortan {
namespace RouteManagement {

// The friendly name of the tunnel (TAP) adapter.
extern const char* const kTunnelAdapterName;  // "Vortan-Dashlet"

// The host operations the route commands use. The defaults go to the platform; tests
// hand in their own host.
class HostAccess {
 public:
  virtual ~HostAccess() = default;
  virtual platform::Error ListAdapters(std::vector<platform::Adapter>* adapters);
  virtual platform::Error InterfaceMetric(std::uint32_t interfaceIndex, std::optional<std::uint32_t>* metric);
  virtual platform::Error BestRoute(std::uint32_t address, platform::Route* route);
  virtual platform::Error AddRoute(std::uint32_t destination, std::uint32_t mask, std::uint32_t gateway,
                                   std::uint32_t interfaceIndex, std::uint32_t metric);
  virtual platform::Error DeleteRoute(const platform::Route& route);
  virtual platform::Error ListRoutes(std::vector<platform::Route>* routes);
  virtual bool KeepsBroadcastRoutePerInterface();
  virtual platform::Error ChangeRouteMetric(const platform::Route& route, std::uint32_t metric);
  virtual platform::Error FlushNeighbours(std::uint32_t interfaceIndex);
  // A fresh conflict analysis that reads the host's configuration anew.
  virtual std::unique_ptr<NetworkStatus> NewNetworkStatus();
};

// The reply to any request line that begins with "route".
std::string Dispatch(const std::string& request);
std::string Dispatch(const std::string& request, HostAccess& host);

// "route add": destination, netmask, gateway, metric (ignored: the route's metric
// follows the tunnel adapter).
std::string AddRoute(const std::string& arguments, HostAccess& host);
// "route del": removes the route the host would use for an address when that route is
// one of the main table leaving through the tunnel adapter (never the default route);
// any other route is refused.
std::string DelRoute(const std::string& arguments, HostAccess& host);
// "route broadcast": mode and device address; moves the tunnel's limited-broadcast
// route metric ("on": limited broadcasts leave through the tunnel; reset: they no
// longer do).
std::string SetBroadcastRoute(const std::string& arguments, HostAccess& host);
// "route postconnect": empties the tunnel adapter's neighbour (ARP) cache.
std::string PostConnect(HostAccess& host);

// Index of the adapter whose name (or alias) is exactly name; all ones when none.
std::uint32_t GetAdapterIdx(std::string name, HostAccess& host);
// Index of the named adapter when one of its IPv4 networks overlaps address/mask
// (network order); all ones otherwise.
std::uint32_t FindTunnelInterface(const std::string& name, std::uint32_t address, std::uint32_t mask,
                                  HostAccess& host);
// The interface's IPv4 metric; on a host without one, the metric of the route the host
// uses for address. All ones when it cannot be read.
std::uint32_t GetInterfaceMetric(std::uint32_t interfaceIndex, std::uint32_t address, HostAccess& host);

// The reply code of "route add" for a conflict kind.
std::int32_t ConflictReplyCode(ConflictKind kind);

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
