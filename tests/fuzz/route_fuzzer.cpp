// Route requests against a fake host: argument parsing, the conflict analysis and the
// reply paths, without touching the real routing table.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "routes/RouteManagement.h"

namespace {

using vortan::HostToNet;

class FakeStatus : public vortan::NetworkStatus {
 protected:
  std::unique_ptr<std::vector<vortan::AdapterInfo>> FetchAdapters() override {
    auto adapters = std::make_unique<std::vector<vortan::AdapterInfo>>(2);
    (*adapters)[0].index = 2;
    (*adapters)[0].addresses = {{"192.168.1.10", "255.255.255.0"}};
    (*adapters)[0].gateways = {{"192.168.1.1", ""}};
    (*adapters)[0].status = platform::OperStatus::Operational;
    (*adapters)[1].index = 7;
    (*adapters)[1].addresses = {{"10.8.0.2", "255.255.255.0"}};
    (*adapters)[1].status = platform::OperStatus::Operational;
    return adapters;
  }
  std::unique_ptr<vortan::NetworkParams> FetchNetworkParams() override {
    auto params = std::make_unique<vortan::NetworkParams>();
    params->dnsServers = {{"10.1.2.3", ""}};
    return params;
  }
};

class FakeHost : public vortan::RouteManagement::HostAccess {
 public:
  platform::Error ListAdapters(std::vector<platform::Adapter>* adapters) override {
    platform::Adapter tunnel;
    tunnel.index = 7;
    tunnel.name = "Vortan-Dashlet";
    tunnel.friendlyNames = {tunnel.name};
    tunnel.addresses = {{HostToNet(0x0A080002), HostToNet(0xFFFFFF00)}};
    tunnel.status = platform::OperStatus::Operational;
    *adapters = {tunnel};
    return {};
  }
  platform::Error InterfaceMetric(std::uint32_t, std::optional<std::uint32_t>* metric) override {
    metric->reset();
    return {};
  }
  platform::Error BestRoute(std::uint32_t address, platform::Route* route) override {
    route->destination = address & HostToNet(0xFFFFFF00);
    route->mask = HostToNet(0xFFFFFF00);
    route->metric = 50;
    return {};
  }
  platform::Error AddRoute(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) override {
    return {};
  }
  platform::Error DeleteRoute(const platform::Route&) override { return {}; }
  platform::Error ListRoutes(std::vector<platform::Route>* routes) override {
    platform::Route broadcast;
    broadcast.destination = vortan::kAllOnes;
    broadcast.mask = vortan::kAllOnes;
    broadcast.interfaceIndex = 7;
    broadcast.metric = 281;
    *routes = {broadcast};
    return {};
  }
  bool KeepsBroadcastRoutePerInterface() override { return false; }
  platform::Error ChangeRouteMetric(const platform::Route&, std::uint32_t) override { return {}; }
  platform::Error FlushNeighbours(std::uint32_t) override { return {}; }
  std::unique_ptr<vortan::NetworkStatus> NewNetworkStatus() override { return std::make_unique<FakeStatus>(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (vortan::silenceLogging(), true);
  (void)ready;
  FakeHost host;
  const std::string reply =
      vortan::RouteManagement::Dispatch("route " + std::string(reinterpret_cast<const char*>(data), size), host);
  if (reply.empty() || reply.find('\n') != std::string::npos) __builtin_trap();
  return 0;
}
