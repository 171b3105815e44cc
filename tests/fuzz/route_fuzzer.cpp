// Route requests against a fake host: argument parsing, the conflict analysis and the
// reply paths, without touching the real routing table.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "protocol/RouteReplies.h"
#include "routes/RouteLedger.h"
#include "routes/RouteManagement.h"

namespace {

using vortan::HostToNet;

platform::Adapter MakeAdapter(std::uint32_t index, const char* name, std::uint32_t address) {
  platform::Adapter adapter;
  adapter.index = index;
  adapter.name = name;
  adapter.friendlyNames = {adapter.name};
  adapter.addresses = {{HostToNet(address), HostToNet(0xFFFFFF00)}};
  adapter.status = platform::OperStatus::Operational;
  return adapter;
}

class FakeHost : public platform::HostNetwork {
 public:
  platform::HostSnapshot Snapshot(unsigned) override {
    platform::HostSnapshot snapshot;
    snapshot.adapters = {MakeAdapter(2, "eth0", 0xC0A8010A), MakeAdapter(7, "Vortan-Dashlet", 0x0A080002)};
    snapshot.adapters[0].gateways = {HostToNet(0xC0A80101)};
    snapshot.dnsServers = {HostToNet(0x0A010203)};
    platform::Route broadcast;
    broadcast.destination = vortan::kAllOnes;
    broadcast.mask = vortan::kAllOnes;
    broadcast.interfaceIndex = 7;
    broadcast.metric = 281;
    snapshot.routes = {broadcast};
    return snapshot;
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
  platform::Error ChangeRouteMetric(const platform::Route&, std::uint32_t) override { return {}; }
  platform::Error FlushNeighbours(std::uint32_t) override { return {}; }
  bool KeepsBroadcastRoutePerInterface() const override { return false; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (vortan::silenceLogging(), true);
  (void)ready;
  FakeHost host;
  vortan::RouteLedger ledger;
  const std::string reply = vortan::RouteReply(vortan::RouteManagement::Dispatch(
      "route " + std::string(reinterpret_cast<const char*>(data), size), host, ledger));
  if (reply.empty() || reply.find('\n') != std::string::npos) __builtin_trap();
  return 0;
}
