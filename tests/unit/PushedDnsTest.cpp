#include <gtest/gtest.h>

#include "tunnel/PushedDns.h"

namespace vortan {
namespace {

using Servers = std::vector<PushedDnsServer>;
using Names = std::vector<std::string>;

std::string LogOf(const std::string& reply) {
  return "1765272000,,PUSH: Received control message: '" + reply + "'";
}

TEST(PushedDns, PushRepliesGiveServersDomainsAndTheFullTunnel) {
  const struct {
    const char* reply;
    Servers servers;
    Names search;
    Names routing;
    bool redirect;
  } cases[] = {
      {"PUSH_REPLY,route 203.0.113.0 255.255.255.0,dhcp-option DNS 10.8.0.1,dhcp-option DOMAIN lab.example",
       {{"10.8.0.1", 0}}, {"lab.example"}, {}, false},
      {"PUSH_REPLY,redirect-gateway def1,dhcp-option DNS 10.8.0.1,dhcp-option DNS 10.8.0.1,dhcp-option DNS6 fd00::1,"
       "dhcp-option DOMAIN-SEARCH a.example.,dhcp-option ADAPTER_DOMAIN_SUFFIX b.example",
       {{"10.8.0.1", 0}, {"fd00::1", 0}}, {"a.example", "b.example"}, {}, true},
      // The "dns" options take precedence over "dhcp-option DNS".
      {"PUSH_REPLY,dhcp-option DNS 10.8.0.1,dns server 0 address 10.8.0.2 10.8.0.3:5353 [fd00::2]:53,"
       "dns server 0 resolve-domains corp.example,dns search-domains s.example",
       {{"10.8.0.2", 0}, {"10.8.0.3", 5353}, {"fd00::2", 53}}, {"s.example"}, {"corp.example"}, false},
      // What is not an address or a host name is left out.
      {"PUSH_REPLY,dhcp-option DNS 10.8.0.300,dhcp-option DNS 0.0.0.0,dhcp-option DNS $(reboot),"
       "dhcp-option DNS 10.8.0.1:0,dhcp-option DOMAIN a;b,dhcp-option DOMAIN ..,dhcp-option DOMAIN -x,"
       "dhcp-option DOMAIN x\\ny,dns server 0 address [fd00::1",
       {}, {}, {}, false},
      {"PUSH_REPLY,dhcp-option WINS 10.8.0.1,dhcp-option DNS,route-gateway 10.8.0.1", {}, {}, {}, false},
  };
  for (const auto& testCase : cases) {
    PushedDns pushed;
    ASSERT_TRUE(ReadPushReplyLog(LogOf(testCase.reply), &pushed)) << testCase.reply;
    EXPECT_EQ(pushed.Servers(), testCase.servers) << testCase.reply;
    EXPECT_EQ(pushed.searchDomains, testCase.search) << testCase.reply;
    EXPECT_EQ(pushed.routingDomains, testCase.routing) << testCase.reply;
    EXPECT_EQ(pushed.redirectGateway, testCase.redirect) << testCase.reply;
  }
}

TEST(PushedDns, ContinuedRepliesAddUpAndANewPushStartsAfresh) {
  PushedDns pushed;
  EXPECT_FALSE(ReadPushReplyLog("1765272000,,PUSH: Received control message: 'AUTH_FAILED'", &pushed));
  EXPECT_FALSE(ReadPushReplyLog("1765272000,,Initialization Sequence Completed", &pushed));
  ASSERT_TRUE(ReadPushReplyLog(LogOf("PUSH_REPLY,dhcp-option DNS 10.8.0.1,push-continuation 2"), &pushed));
  ASSERT_TRUE(ReadPushReplyLog(LogOf("PUSH_REPLY,dhcp-option DOMAIN lab.example,push-continuation 1"), &pushed));
  EXPECT_EQ(pushed.Servers(), (Servers{{"10.8.0.1", 0}}));
  EXPECT_EQ(pushed.searchDomains, Names{"lab.example"});
  ASSERT_TRUE(ReadPushReplyLog(LogOf("PUSH_REPLY,dhcp-option DNS 10.8.0.9"), &pushed));
  EXPECT_EQ(pushed.Servers(), (Servers{{"10.8.0.9", 0}}));
  EXPECT_TRUE(pushed.searchDomains.empty());
  EXPECT_TRUE(PushedDns().Empty());
}

}  // namespace
}  // namespace vortan
