#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "Ipv4.h"
#include "NetnsSupport.h"
#include "platform/HostNetwork.h"

namespace vortan {
namespace {

using test::NetworkNamespace;
using ::testing::ElementsAre;

const platform::Adapter* FindByName(const std::vector<platform::Adapter>& adapters, const std::string& name) {
  auto found = std::find_if(adapters.begin(), adapters.end(), [&](const auto& a) { return a.name == name; });
  return found == adapters.end() ? nullptr : &*found;
}

std::vector<std::string> AddressTexts(const platform::Adapter& adapter) {
  std::vector<std::string> texts;
  for (const auto& entry : adapter.addresses) texts.push_back(FormatDotted(entry.address) + "/" + FormatDotted(entry.mask));
  return texts;
}

std::vector<std::string> GatewayTexts(const platform::Adapter& adapter) {
  std::vector<std::string> texts;
  for (std::uint32_t gateway : adapter.gateways) texts.push_back(FormatDotted(gateway));
  return texts;
}

TEST(HostNetworkKernel, ListAdaptersReportsNamesAddressesGatewaysAndStatus) {
  NetworkNamespace ns;
  ns.AddVethPair("lan", "lanpeer");
  ns.MustIp("address add 192.168.77.10/24 dev lan");
  ns.MustIp("address add 10.77.0.1/16 dev lan");
  ns.MustIp("route add default via 192.168.77.1 dev lan");
  ns.MustIp("route add default metric 50 nexthop via 192.168.77.2 dev lan nexthop via 10.77.0.254 dev lan");
  ns.AddTap("Vortan-Dashlet");
  ns.MustIp("address add 10.8.0.2/24 dev Vortan-Dashlet");
  ns.MustIp("link set dev Vortan-Dashlet alias tunnel-alias");
  ns.MustIp("link property add dev Vortan-Dashlet altname vortan-alt");

  std::vector<platform::Adapter> adapters;
  int error = -1;
  ns.Run([&] { error = platform::ListAdapters(&adapters); });
  ASSERT_EQ(error, 0);

  const platform::Adapter* loopback = FindByName(adapters, "lo");
  ASSERT_NE(loopback, nullptr);
  EXPECT_TRUE(loopback->loopback);
  EXPECT_THAT(AddressTexts(*loopback), ElementsAre("127.0.0.1/255.0.0.0"));

  const platform::Adapter* lan = FindByName(adapters, "lan");
  ASSERT_NE(lan, nullptr);
  EXPECT_FALSE(lan->loopback);
  EXPECT_EQ(lan->status, platform::OperStatus::Operational);
  EXPECT_THAT(AddressTexts(*lan), ElementsAre("192.168.77.10/255.255.255.0", "10.77.0.1/255.255.0.0"));
  EXPECT_THAT(GatewayTexts(*lan), ElementsAre("192.168.77.1", "192.168.77.2", "10.77.0.254"));
  EXPECT_TRUE(lan->aliases.empty());

  const platform::Adapter* tap = FindByName(adapters, "Vortan-Dashlet");
  ASSERT_NE(tap, nullptr);
  EXPECT_NE(tap->index, lan->index);
  EXPECT_EQ(tap->status, platform::OperStatus::Disconnected);  // created down
  EXPECT_EQ(tap->description, "tunnel-alias");
  EXPECT_THAT(tap->aliases, ElementsAre("tunnel-alias", "vortan-alt"));
  EXPECT_THAT(AddressTexts(*tap), ElementsAre("10.8.0.2/255.255.255.0"));
  EXPECT_TRUE(tap->gateways.empty());
}

TEST(HostNetworkKernel, ListAdaptersAgreesWithTheKernelsIndexes) {
  NetworkNamespace ns;
  ns.AddVethPair("first", "second");
  std::string output;
  ASSERT_EQ(ns.Ip("-o link show dev second", &output), 0);
  std::uint32_t expectedIndex = static_cast<std::uint32_t>(std::stoul(output));

  std::vector<platform::Adapter> adapters;
  int error = -1;
  ns.Run([&] { error = platform::ListAdapters(&adapters); });
  ASSERT_EQ(error, 0);
  ASSERT_NE(FindByName(adapters, "second"), nullptr);
  EXPECT_EQ(FindByName(adapters, "second")->index, expectedIndex);
}

}  // namespace
}  // namespace vortan
