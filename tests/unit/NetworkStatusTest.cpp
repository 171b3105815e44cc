#include <gtest/gtest.h>

#include "common/Ipv4.h"
#include "protocol/RouteReplies.h"
#include "routes/NetworkStatus.h"
#include "TestCommon.h"

namespace vortan {
namespace {

using platform::OperStatus;

// A dotted text as a value; an empty text is unset (0).
std::uint32_t Ip(const std::string& text) {
  std::uint32_t value = 0;
  if (!text.empty()) {
    EXPECT_TRUE(ParseDottedQuad(text, &value)) << text;
  }
  return value;
}

struct Entry {
  std::string address;
  std::string mask;
};

platform::Adapter MakeAdapter(std::vector<Entry> addresses, OperStatus status = OperStatus::Operational) {
  platform::Adapter adapter;
  for (const Entry& entry : addresses) adapter.addresses.push_back({Ip(entry.address), Ip(entry.mask)});
  adapter.status = status;
  return adapter;
}

platform::Adapter WithGateways(platform::Adapter adapter, std::vector<std::string> gateways) {
  for (const std::string& gateway : gateways) adapter.gateways.push_back(Ip(gateway));
  return adapter;
}

platform::Adapter WithWins(platform::Adapter adapter, const std::string& primary, const std::string& secondary) {
  adapter.primaryWins = Ip(primary);
  adapter.secondaryWins = Ip(secondary);
  return adapter;
}

platform::Adapter Loopback(platform::Adapter adapter) {
  adapter.loopback = true;
  return adapter;
}

struct AnalysisCase {
  const char* name;
  std::vector<platform::Adapter> adapters;
  std::vector<std::string> dnsServers;
  const char* destination;
  const char* netmask;
  ConflictKind expectedKind;
  Entry expectedEntry;
};

const Entry kLan24{"192.168.1.10", "255.255.255.0"};
const Entry kLan16{"192.168.0.10", "255.255.0.0"};
const Entry kOther{"10.20.30.40", "255.255.255.0"};
const Entry kNone{"", ""};

std::vector<AnalysisCase> AnalysisCases() {
  return {
      {"HostNetworkEqualToDestinationHidesIt", {MakeAdapter({kLan24})}, {}, "192.168.1.0", "255.255.255.0",
       ConflictKind::HidesLan, kLan24},
      {"HostNetworkInsideDestinationHidesIt", {MakeAdapter({kLan24})}, {}, "192.168.0.0", "255.255.0.0",
       ConflictKind::HidesLan, kLan24},
      {"LargerHostNetworkIsALocalAddressConflict", {MakeAdapter({kLan16})}, {}, "192.168.0.0", "255.255.255.0",
       ConflictKind::LocalAddress, kLan16},
      {"DestinationInsideHostNetworkIsASubnet", {MakeAdapter({kLan16})}, {}, "192.168.5.0", "255.255.255.0",
       ConflictKind::SubnetOfLan, kLan16},
      {"HostRouteSkipsTheSubnetCheck", {MakeAdapter({kLan16})}, {}, "192.168.5.7", "255.255.255.255",
       ConflictKind::None, kNone},
      {"DisconnectedAdapterIsIgnored", {MakeAdapter({kLan24}, OperStatus::Disconnected)}, {}, "192.168.1.0",
       "255.255.255.0", ConflictKind::None, kNone},
      {"NonOperationalAndUnreachableAdaptersAreIgnored",
       {MakeAdapter({kLan24}, OperStatus::NonOperational), MakeAdapter({kLan16}, OperStatus::Unreachable)}, {},
       "192.168.0.0", "255.255.0.0", ConflictKind::None, kNone},
      {"ConnectingAdapterCounts", {MakeAdapter({kLan24}, OperStatus::Connecting)}, {}, "192.168.1.0",
       "255.255.255.0", ConflictKind::HidesLan, kLan24},
      // A status the platform cannot read comes as working (see the backends' tests).
      {"ConnectedAdapterCounts", {MakeAdapter({kLan24}, OperStatus::Connected)}, {}, "192.168.1.0",
       "255.255.255.0", ConflictKind::HidesLan, kLan24},
      {"InactiveAdapterMatchIsSkippedForTheNextAdapter",
       {MakeAdapter({kLan24}, OperStatus::Disconnected), MakeAdapter({kOther, {"192.168.1.20", "255.255.255.0"}})},
       {}, "192.168.1.0", "255.255.255.0", ConflictKind::HidesLan, kOther},
      {"DnsServerInDestination", {MakeAdapter({kLan24})}, {"10.1.2.3"}, "10.1.0.0", "255.255.0.0",
       ConflictKind::DnsServer, {"10.1.2.3", ""}},
      {"DnsServerEntryIsTheMatchingOne", {}, {"8.8.8.8", "10.1.2.3"}, "10.1.0.0", "255.255.0.0",
       ConflictKind::DnsServer, {"10.1.2.3", ""}},
      {"DnsServerNeedsNoActiveAdapter", {MakeAdapter({kLan24}, OperStatus::Disconnected)}, {"10.1.2.3"}, "10.1.0.0",
       "255.255.0.0", ConflictKind::DnsServer, {"10.1.2.3", ""}},
      {"GatewayOfActiveAdapter", {WithGateways(MakeAdapter({kLan24}), {"172.16.0.1"})}, {}, "172.16.0.0",
       "255.255.0.0", ConflictKind::Gateway, {"172.16.0.1", ""}},
      {"GatewayEntryIsTheAdaptersFirstGateway",
       {WithGateways(MakeAdapter({kLan24}), {"192.168.1.1", "172.16.0.1"})}, {}, "172.16.0.0", "255.255.0.0",
       ConflictKind::Gateway, {"192.168.1.1", ""}},
      {"GatewayOfInactiveAdapterIsIgnored",
       {WithGateways(MakeAdapter({kLan24}, OperStatus::Disconnected), {"172.16.0.1"})}, {}, "172.16.0.0",
       "255.255.0.0", ConflictKind::None, kNone},
      {"PrimaryWinsServer", {WithWins(MakeAdapter({kLan24}), "10.9.0.5", "")}, {}, "10.9.0.0", "255.255.0.0",
       ConflictKind::WinsServer, {"10.9.0.5", ""}},
      {"SecondaryWinsServer", {WithWins(MakeAdapter({kLan24}), "10.1.1.1", "10.9.0.6")}, {}, "10.9.0.0",
       "255.255.0.0", ConflictKind::WinsServer, {"10.9.0.6", ""}},
      {"SecondOfTwoAddressesConflictsButTheFirstIsReported", {MakeAdapter({kOther, kLan24})}, {}, "192.168.1.0",
       "255.255.255.0", ConflictKind::HidesLan, kOther},
      {"ZeroMaskDestinationHidesEveryActiveLan", {MakeAdapter({kLan24})}, {"10.1.2.3"}, "0.0.0.0", "0.0.0.0",
       ConflictKind::HidesLan, kLan24},
      {"UnsetAddressesNeverMatch", {WithGateways(MakeAdapter({{"0.0.0.0", "0.0.0.0"}}), {"0.0.0.0"})}, {""},
       "0.0.0.0", "0.0.0.0", ConflictKind::None, kNone},
      {"UnsetWinsServersNeverMatch", {WithWins(MakeAdapter({kOther}), "", "")}, {}, "255.255.255.0",
       "255.255.255.0", ConflictKind::None, kNone},
      {"NoConflictWithForeignNetworks", {WithGateways(MakeAdapter({kLan24}), {"192.168.1.1"})}, {"192.168.1.1"},
       "10.50.0.0", "255.255.0.0", ConflictKind::None, kNone},
      // Step order between overlapping kinds.
      {"LocalAddressComesBeforeDns", {MakeAdapter({kLan16})}, {"192.168.0.53"}, "192.168.0.0", "255.255.255.0",
       ConflictKind::LocalAddress, kLan16},
      {"DnsComesBeforeGateway", {WithGateways(MakeAdapter({kOther}), {"172.16.0.1"})}, {"172.16.0.53"},
       "172.16.0.0", "255.255.0.0", ConflictKind::DnsServer, {"172.16.0.53", ""}},
      {"GatewayComesBeforeWins", {WithWins(WithGateways(MakeAdapter({kOther}), {"172.16.0.1"}), "172.16.0.9", "")},
       {}, "172.16.0.0", "255.255.0.0", ConflictKind::Gateway, {"172.16.0.1", ""}},
      {"WinsComesBeforeSubnet", {WithWins(MakeAdapter({kLan16}), "192.168.5.9", "")}, {}, "192.168.5.0",
       "255.255.255.0", ConflictKind::WinsServer, {"192.168.5.9", ""}},
      {"HidingComesBeforeLocalAddressOnAnotherAdapter",
       {MakeAdapter({{"192.168.1.5", "255.255.0.0"}}), MakeAdapter({kLan24})}, {}, "192.168.1.0", "255.255.255.0",
       ConflictKind::HidesLan, kLan24},
      // Loopback adapters are no LAN: left out; the platform's WINS servers count.
      {"LoopbackAdaptersAreLeftOut",
       {Loopback(MakeAdapter({{"10.9.0.1", "255.255.0.0"}})), WithWins(MakeAdapter({kLan24}), "10.9.0.5", "")}, {},
       "10.9.0.0", "255.255.0.0", ConflictKind::WinsServer, {"10.9.0.5", ""}},
      {"NoSecondaryWinsServerIsUnset", {WithWins(MakeAdapter({kLan24}), "10.9.0.5", "")}, {}, "10.0.0.0",
       "255.255.0.0", ConflictKind::None, kNone},
  };
}

class NetworkStatusAnalyse : public ::testing::TestWithParam<AnalysisCase> {};

TEST_P(NetworkStatusAnalyse, ClassifiesAndReportsTheEntry) {
  const AnalysisCase& c = GetParam();
  std::vector<std::uint32_t> dns;
  for (const std::string& server : c.dnsServers) dns.push_back(Ip(server));
  const Conflict conflict = AnalyseConflict(c.adapters, dns, Ip(c.destination), Ip(c.netmask));
  EXPECT_EQ(conflict.kind, c.expectedKind);
  EXPECT_EQ(conflict.entryAddress, Ip(c.expectedEntry.address));
  EXPECT_EQ(conflict.entryMask, Ip(c.expectedEntry.mask));
}

INSTANTIATE_TEST_SUITE_P(HostConfigurations, NetworkStatusAnalyse, ::testing::ValuesIn(AnalysisCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The reply of each kind: its code and message, the destination as the client wrote it.
TEST(NetworkStatus, RepliesOfEveryKind) {
  const std::string prefix =
      "Unable to add Brix LAN device(s) network.<BR / >the Brix's LAN (192.168.1.0/255.255.255.0";
  struct {
    ConflictKind kind;
    std::string expected;
  } cases[] = {
      {ConflictKind::None, "SUCCESS | RT1 | Brix LAN devices network added. (code 1)"},
      {ConflictKind::DnsServer, "ERROR | RT5 | " + prefix +
                                    ") is in conflict with registered DNS address on this computer (192.168.1.10). "
                                    "(code 5)"},
      {ConflictKind::Gateway, "ERROR | RT4 | " + prefix +
                                  ") is in conflict with registered Gateway address on this computer (192.168.1.10). "
                                  "(code 4)"},
      {ConflictKind::LocalAddress,
       "ERROR | RT6 | " + prefix +
           ") is in conflict with local IP address on this computer (192.168.1.10/255.255.255.0). (code 6)"},
      {ConflictKind::WinsServer,
       "ERROR | RT6 | " + prefix +
           ") is in conflict with a known service IP address on this computer's LAN (192.168.1.10). (code 6)"},
      {ConflictKind::SubnetOfLan,
       "SUCCESS | RT2 | Brix LAN devices network added with possible conflicts.<BR / >the Brix's LAN "
       "(192.168.1.0/255.255.255.0) is a subnet of this computer's LAN (192.168.1.10/255.255.255.0). Some local "
       "services might not be available. (code 2)"},
      {ConflictKind::HidesLan, "ERROR | RT3 | " + prefix +
                                   ") would be hiding one of this computer's LAN (192.168.1.10/255.255.255.0). (code 3)"},
  };
  for (const auto& c : cases) {
    const bool added = c.kind == ConflictKind::None || c.kind == ConflictKind::SubnetOfLan;
    RouteOutcome outcome{added ? RouteOutcomeKind::Added : RouteOutcomeKind::Refused, 0,
                         Conflict{c.kind, Ip("192.168.1.0"), Ip("255.255.255.0"), Ip("192.168.1.10"),
                                  Ip("255.255.255.0")}};
    EXPECT_EQ(test::Untimed(RouteReply(outcome)), c.expected) << static_cast<int>(c.kind);
  }
  const RouteOutcome dns{RouteOutcomeKind::Refused, 0,
                         Conflict{ConflictKind::DnsServer, Ip("10.1.0.0"), Ip("255.255.0.0"), Ip("10.1.2.3"), 0}};
  EXPECT_EQ(test::Untimed(RouteReply(dns)),
            "ERROR | RT5 | Unable to add Brix LAN device(s) network.<BR / >the Brix's LAN (10.1.0.0/255.255.0.0) is in "
            "conflict with registered DNS address on this computer (10.1.2.3). (code 5)");
}

}  // namespace
}  // namespace vortan
