#include <gtest/gtest.h>

#include <stdexcept>

#include "routes/NetworkStatus.h"

namespace vortan {
namespace {

using platform::OperStatus;

AdapterInfo MakeAdapter(std::uint32_t index, std::vector<IpAddrString> addresses,
                        std::optional<OperStatus> status = OperStatus::Operational) {
  AdapterInfo adapter;
  adapter.index = index;
  adapter.addresses = std::move(addresses);
  adapter.status = status;
  return adapter;
}

// A host configuration handed in by the test instead of the platform's.
class HostConfiguration : public NetworkStatus {
 public:
  std::vector<AdapterInfo> adapters;
  std::vector<IpAddrString> dnsServers;
  bool adaptersReadable = true;
  bool paramsReadable = true;
  int adapterFetches = 0;
  int paramFetches = 0;

 protected:
  std::unique_ptr<std::vector<AdapterInfo>> FetchAdapters() override {
    ++adapterFetches;
    if (!adaptersReadable) return nullptr;
    return std::make_unique<std::vector<AdapterInfo>>(adapters);
  }
  std::unique_ptr<NetworkParams> FetchNetworkParams() override {
    ++paramFetches;
    if (!paramsReadable) return nullptr;
    return std::make_unique<NetworkParams>(NetworkParams{dnsServers});
  }
};

struct AnalysisCase {
  const char* name;
  std::vector<AdapterInfo> adapters;
  std::vector<IpAddrString> dnsServers;
  const char* destination;
  const char* netmask;
  ConflictKind expectedKind;
  IpAddrString expectedEntry;
};

AdapterInfo WithGateways(AdapterInfo adapter, std::vector<IpAddrString> gateways) {
  adapter.gateways = std::move(gateways);
  return adapter;
}

AdapterInfo WithWins(AdapterInfo adapter, IpAddrString primary, IpAddrString secondary) {
  adapter.primaryWins = std::move(primary);
  adapter.secondaryWins = std::move(secondary);
  return adapter;
}

const IpAddrString kLan24{"192.168.1.10", "255.255.255.0"};
const IpAddrString kLan16{"192.168.0.10", "255.255.0.0"};
const IpAddrString kOther{"10.20.30.40", "255.255.255.0"};
const IpAddrString kNone{"", ""};

std::vector<AnalysisCase> AnalysisCases() {
  return {
      {"HostNetworkEqualToDestinationHidesIt", {MakeAdapter(1, {kLan24})}, {}, "192.168.1.0", "255.255.255.0",
       ConflictKind::HidesLan, kLan24},
      {"HostNetworkInsideDestinationHidesIt", {MakeAdapter(1, {kLan24})}, {}, "192.168.0.0", "255.255.0.0",
       ConflictKind::HidesLan, kLan24},
      {"LargerHostNetworkIsALocalAddressConflict", {MakeAdapter(1, {kLan16})}, {}, "192.168.0.0", "255.255.255.0",
       ConflictKind::LocalAddress, kLan16},
      {"DestinationInsideHostNetworkIsASubnet", {MakeAdapter(1, {kLan16})}, {}, "192.168.5.0", "255.255.255.0",
       ConflictKind::SubnetOfLan, kLan16},
      {"HostRouteSkipsTheSubnetCheck", {MakeAdapter(1, {kLan16})}, {}, "192.168.5.7", "255.255.255.255",
       ConflictKind::None, kNone},
      {"DisconnectedAdapterIsIgnored", {MakeAdapter(1, {kLan24}, OperStatus::Disconnected)}, {}, "192.168.1.0",
       "255.255.255.0", ConflictKind::None, kNone},
      {"NonOperationalAndUnreachableAdaptersAreIgnored",
       {MakeAdapter(1, {kLan24}, OperStatus::NonOperational), MakeAdapter(2, {kLan16}, OperStatus::Unreachable)}, {},
       "192.168.0.0", "255.255.0.0", ConflictKind::None, kNone},
      {"ConnectingAdapterCounts", {MakeAdapter(1, {kLan24}, OperStatus::Connecting)}, {}, "192.168.1.0",
       "255.255.255.0", ConflictKind::HidesLan, kLan24},
      {"AdapterWithUnreadableStatusCounts", {MakeAdapter(1, {kLan24}, std::nullopt)}, {}, "192.168.1.0",
       "255.255.255.0", ConflictKind::HidesLan, kLan24},
      {"InactiveAdapterMatchIsSkippedForTheNextAdapter",
       {MakeAdapter(1, {kLan24}, OperStatus::Disconnected), MakeAdapter(2, {kOther, {"192.168.1.20", "255.255.255.0"}})},
       {}, "192.168.1.0", "255.255.255.0", ConflictKind::HidesLan, kOther},
      {"DnsServerInDestination", {MakeAdapter(1, {kLan24})}, {{"10.1.2.3", ""}}, "10.1.0.0", "255.255.0.0",
       ConflictKind::DnsServer, {"10.1.2.3", ""}},
      {"DnsServerEntryIsTheMatchingOne", {}, {{"8.8.8.8", ""}, {"10.1.2.3", ""}}, "10.1.0.0", "255.255.0.0",
       ConflictKind::DnsServer, {"10.1.2.3", ""}},
      {"DnsServerNeedsNoActiveAdapter", {MakeAdapter(1, {kLan24}, OperStatus::Disconnected)}, {{"10.1.2.3", ""}},
       "10.1.0.0", "255.255.0.0", ConflictKind::DnsServer, {"10.1.2.3", ""}},
      {"GatewayOfActiveAdapter", {WithGateways(MakeAdapter(1, {kLan24}), {{"172.16.0.1", ""}})}, {}, "172.16.0.0",
       "255.255.0.0", ConflictKind::Gateway, {"172.16.0.1", ""}},
      {"GatewayEntryIsTheAdaptersFirstGateway",
       {WithGateways(MakeAdapter(1, {kLan24}), {{"192.168.1.1", ""}, {"172.16.0.1", ""}})}, {}, "172.16.0.0",
       "255.255.0.0", ConflictKind::Gateway, {"192.168.1.1", ""}},
      {"GatewayOfInactiveAdapterIsIgnored",
       {WithGateways(MakeAdapter(1, {kLan24}, OperStatus::Disconnected), {{"172.16.0.1", ""}})}, {}, "172.16.0.0",
       "255.255.0.0", ConflictKind::None, kNone},
      {"PrimaryWinsServer", {WithWins(MakeAdapter(1, {kLan24}), {"10.9.0.5", "255.255.255.255"}, kNone)}, {},
       "10.9.0.0", "255.255.0.0", ConflictKind::WinsServer, {"10.9.0.5", "255.255.255.255"}},
      {"SecondaryWinsServer", {WithWins(MakeAdapter(1, {kLan24}), {"10.1.1.1", ""}, {"10.9.0.6", ""})}, {},
       "10.9.0.0", "255.255.0.0", ConflictKind::WinsServer, {"10.9.0.6", ""}},
      {"SecondOfTwoAddressesConflictsButTheFirstIsReported", {MakeAdapter(1, {kOther, kLan24})}, {}, "192.168.1.0",
       "255.255.255.0", ConflictKind::HidesLan, kOther},
      {"ZeroMaskDestinationHidesEveryActiveLan", {MakeAdapter(1, {kLan24})}, {{"10.1.2.3", ""}}, "0.0.0.0", "0.0.0.0",
       ConflictKind::HidesLan, kLan24},
      {"UnsetAddressesNeverMatch",
       {WithGateways(MakeAdapter(1, {{"0.0.0.0", "0.0.0.0"}}), {{"0.0.0.0", ""}})}, {{"", ""}}, "0.0.0.0", "0.0.0.0",
       ConflictKind::None, kNone},
      {"UnsetWinsServersNeverMatch", {WithWins(MakeAdapter(1, {kOther}), kNone, kNone)}, {}, "255.255.255.0",
       "255.255.255.0", ConflictKind::None, kNone},
      {"NoConflictWithForeignNetworks", {WithGateways(MakeAdapter(1, {kLan24}), {{"192.168.1.1", ""}})},
       {{"192.168.1.1", ""}}, "10.50.0.0", "255.255.0.0", ConflictKind::None, kNone},
      // Step order between overlapping kinds.
      {"LocalAddressComesBeforeDns", {MakeAdapter(1, {kLan16})}, {{"192.168.0.53", ""}}, "192.168.0.0",
       "255.255.255.0", ConflictKind::LocalAddress, kLan16},
      {"DnsComesBeforeGateway", {WithGateways(MakeAdapter(1, {kOther}), {{"172.16.0.1", ""}})}, {{"172.16.0.53", ""}},
       "172.16.0.0", "255.255.0.0", ConflictKind::DnsServer, {"172.16.0.53", ""}},
      {"GatewayComesBeforeWins",
       {WithWins(WithGateways(MakeAdapter(1, {kOther}), {{"172.16.0.1", ""}}), {"172.16.0.9", ""}, kNone)}, {},
       "172.16.0.0", "255.255.0.0", ConflictKind::Gateway, {"172.16.0.1", ""}},
      {"WinsComesBeforeSubnet", {WithWins(MakeAdapter(1, {kLan16}), {"192.168.5.9", ""}, kNone)}, {}, "192.168.5.0",
       "255.255.255.0", ConflictKind::WinsServer, {"192.168.5.9", ""}},
      {"HidingComesBeforeLocalAddressOnAnotherAdapter",
       {MakeAdapter(1, {{"192.168.1.5", "255.255.0.0"}}), MakeAdapter(2, {kLan24})}, {},
       "192.168.1.0", "255.255.255.0", ConflictKind::HidesLan, kLan24},
  };
}

class NetworkStatusAnalyse : public ::testing::TestWithParam<AnalysisCase> {};

TEST_P(NetworkStatusAnalyse, ClassifiesAndReportsTheEntry) {
  const AnalysisCase& c = GetParam();
  HostConfiguration host;
  host.adapters = c.adapters;
  host.dnsServers = c.dnsServers;
  EXPECT_EQ(host.Analyse(c.destination, c.netmask), c.expectedKind);
  EXPECT_EQ(host.ConflictEntry().address, c.expectedEntry.address);
  EXPECT_EQ(host.ConflictEntry().mask, c.expectedEntry.mask);
}

INSTANTIATE_TEST_SUITE_P(HostConfigurations, NetworkStatusAnalyse, ::testing::ValuesIn(AnalysisCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NetworkStatus, CopiesAreFetchedOnceAndTheEntryIsClearedPerAnalysis) {
  HostConfiguration host;
  host.adapters = {MakeAdapter(1, {kLan24})};
  EXPECT_EQ(host.Analyse("192.168.1.0", "255.255.255.0"), ConflictKind::HidesLan);
  host.adapters.clear();  // a second analysis still sees the first copy
  EXPECT_EQ(host.Analyse("10.0.0.0", "255.0.0.0"), ConflictKind::None);
  EXPECT_EQ(host.ConflictEntry().address, "");
  EXPECT_EQ(host.Analyse("192.168.1.0", "255.255.255.0"), ConflictKind::HidesLan);
  EXPECT_EQ(host.adapterFetches, 1);
  EXPECT_EQ(host.paramFetches, 1);
}

TEST(NetworkStatus, UnreadableNetworkParametersRaiseBeforeTheAdaptersAreRead) {
  HostConfiguration host;
  host.paramsReadable = false;
  try {
    host.Analyse("10.0.0.0", "255.0.0.0");
    FAIL() << "no error raised";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "could not allocate memory for GetNetworkParams call");
  }
  EXPECT_EQ(host.adapterFetches, 0);
}

TEST(NetworkStatus, UnreadableAdapterListRaises) {
  HostConfiguration host;
  host.adaptersReadable = false;
  try {
    host.Analyse("10.0.0.0", "255.0.0.0");
    FAIL() << "no error raised";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "could not allocate memory for GetAdaptersInfo call");
  }
}

TEST(NetworkStatus, MessagesOfEveryKind) {
  const IpAddrString entry{"192.168.1.10", "255.255.255.0"};
  const std::string prefix = "Unable to add Brix LAN device(s) network.<BR / >the Brix's LAN (192.168.1.0/255.255.255.0";
  struct {
    ConflictKind kind;
    std::string expected;
  } cases[] = {
      {ConflictKind::None, "Brix LAN devices network added."},
      {ConflictKind::DnsServer, prefix + ") is in conflict with registered DNS address on this computer (192.168.1.10)."},
      {ConflictKind::Gateway,
       prefix + ") is in conflict with registered Gateway address on this computer (192.168.1.10)."},
      {ConflictKind::LocalAddress,
       prefix + ") is in conflict with local IP address on this computer (192.168.1.10/255.255.255.0)."},
      {ConflictKind::WinsServer,
       prefix + ") is in conflict with a known service IP address on this computer's LAN (192.168.1.10)."},
      {ConflictKind::SubnetOfLan,
       "Brix LAN devices network added with possible conflicts.<BR / >the Brix's LAN (192.168.1.0/255.255.255.0) is a "
       "subnet of this computer's LAN (192.168.1.10/255.255.255.0). Some local services might not be available."},
      {ConflictKind::HidesLan,
       prefix + ") would be hiding one of this computer's LAN (192.168.1.10/255.255.255.0)."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NetworkStatus::Message(c.kind, "192.168.1.0", "255.255.255.0", entry), c.expected)
        << static_cast<int>(c.kind);
  }
}

TEST(NetworkStatus, MessagesQuoteTheClientsTextsAsWritten) {
  EXPECT_EQ(NetworkStatus::Message(ConflictKind::DnsServer, "10.1.0.0", "255.255.0.0", {"10.1.2.3", ""}),
            "Unable to add Brix LAN device(s) network.<BR / >the Brix's LAN (10.1.0.0/255.255.0.0) is in conflict with "
            "registered DNS address on this computer (10.1.2.3).");
}

// The platform's WINS servers reach the analysis: an adapter's WINS server inside the
// destination refuses it.
TEST(NetworkStatus, CopiesOfThePlatformsAdaptersCarryTheirWinsServers) {
  platform::Adapter lan;
  lan.index = 3;
  lan.addresses = {{0x0A01A8C0u, 0x00FFFFFFu}};  // 192.168.1.10/24
  lan.primaryWins = 0x0500090Au;                  // 10.9.0.5
  lan.status = OperStatus::Operational;
  platform::Adapter loopback;
  loopback.loopback = true;
  const std::vector<AdapterInfo> copies = NetworkStatus::CopyAdapters({loopback, lan});
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].index, 3u);
  EXPECT_EQ(copies[0].primaryWins.address, "10.9.0.5");
  EXPECT_EQ(copies[0].secondaryWins.address, "0.0.0.0");

  HostConfiguration host;
  host.adapters = copies;
  EXPECT_EQ(host.Analyse("10.9.0.0", "255.255.0.0"), ConflictKind::WinsServer);
  EXPECT_EQ(host.ConflictEntry().address, "10.9.0.5");
  EXPECT_EQ(host.Analyse("10.0.0.0", "255.255.0.0"), ConflictKind::None);  // no secondary server: 0.0.0.0
}

}  // namespace
}  // namespace vortan
