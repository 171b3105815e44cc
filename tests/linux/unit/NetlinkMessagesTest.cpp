// The Linux host-network backend's route netlink messages, built and parsed in plain
// buffers: no socket, no privileges.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <map>

#include "platform/linux/NetlinkMessages.h"

namespace platform {
namespace netlink {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

std::uint32_t Ip(const char* text) {
  in_addr address{};
  EXPECT_EQ(inet_pton(AF_INET, text, &address), 1) << text;
  return address.s_addr;
}

// Every top-level attribute of a route message, by type, as a 32-bit value.
std::map<int, std::uint32_t> RouteAttributes(const nlmsghdr* message) {
  std::map<int, std::uint32_t> values;
  mnl_attr_parse(
      message, sizeof(rtmsg),
      [](const nlattr* attribute, void* data) {
        auto* found = static_cast<std::map<int, std::uint32_t>*>(data);
        std::uint32_t value = 0;
        if (mnl_attr_get_payload_len(attribute) >= 4) value = mnl_attr_get_u32(attribute);
        (*found)[mnl_attr_get_type(attribute)] = value;
        return MNL_CB_OK;
      },
      &values);
  return values;
}

const rtmsg* Header(const nlmsghdr* message) { return static_cast<const rtmsg*>(mnl_nlmsg_get_payload(message)); }

// A dumped route as the kernel sends it: 10.9.0.0/16 via 10.8.0.1 on interface 7.
nlmsghdr* PutDumpedRoute(std::vector<char>* buffer, std::uint32_t table) {
  nlmsghdr* message = PutHeader(buffer, RTM_NEWROUTE, NLM_F_MULTI);
  auto* info = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(rtmsg)));
  info->rtm_family = AF_INET;
  info->rtm_dst_len = 16;
  info->rtm_table = RT_TABLE_MAIN;  // RTA_TABLE holds the real one
  info->rtm_type = RTN_UNICAST;
  info->rtm_flags = RTNH_F_ONLINK | RTNH_F_DEAD;
  mnl_attr_put_u32(message, RTA_TABLE, table);
  mnl_attr_put_u32(message, RTA_DST, Ip("10.9.0.0"));
  mnl_attr_put_u32(message, RTA_GATEWAY, Ip("10.8.0.1"));
  mnl_attr_put_u32(message, RTA_OIF, 7);
  mnl_attr_put_u32(message, RTA_PRIORITY, 42);
  return message;
}

TEST(NetlinkMessages, ADumpedRouteParsesIntoTheRow) {
  std::vector<char> buffer;
  RouteRecord record = ParseRoute(PutDumpedRoute(&buffer, RT_TABLE_MAIN));
  EXPECT_EQ(record.route.destination, Ip("10.9.0.0"));
  EXPECT_EQ(record.route.mask, Ip("255.255.0.0"));
  EXPECT_EQ(record.route.gateway, Ip("10.8.0.1"));
  EXPECT_EQ(record.route.interfaceIndex, 7u);
  EXPECT_EQ(record.route.metric, 42u);
  EXPECT_TRUE(record.route.mainTable);
  EXPECT_TRUE(IsWellFormedRoute(record.route));
  EXPECT_THAT(record.nextHops, ElementsAre(Pair(7u, Ip("10.8.0.1"))));

  record = ParseRoute(PutDumpedRoute(&buffer, 100));
  EXPECT_EQ(record.table, 100u);
  EXPECT_FALSE(record.route.mainTable);
  EXPECT_FALSE(IsWellFormedRoute(Route{}));
}

TEST(NetlinkMessages, MultipathRoutesListEveryNextHop) {
  std::vector<char> buffer;
  nlmsghdr* message = PutHeader(&buffer, RTM_NEWROUTE, NLM_F_MULTI);
  auto* info = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(rtmsg)));
  info->rtm_family = AF_INET;
  info->rtm_type = RTN_UNICAST;
  nlattr* nest = mnl_attr_nest_start(message, RTA_MULTIPATH);
  for (auto hop : {std::make_pair(2, "192.168.77.2"), std::make_pair(3, "10.77.0.254")}) {
    auto* next = static_cast<rtnexthop*>(mnl_nlmsg_get_payload_tail(message));
    message->nlmsg_len += RTNH_ALIGN(sizeof(rtnexthop));
    std::memset(next, 0, sizeof *next);
    next->rtnh_ifindex = hop.first;
    mnl_attr_put_u32(message, RTA_GATEWAY, Ip(hop.second));
    next->rtnh_len = static_cast<unsigned short>(static_cast<char*>(mnl_nlmsg_get_payload_tail(message)) -
                                                 reinterpret_cast<char*>(next));
  }
  mnl_attr_nest_end(message, nest);

  RouteRecord record = ParseRoute(message);
  EXPECT_EQ(record.prefixLength, 0u);
  EXPECT_THAT(record.nextHops, ElementsAre(Pair(2u, Ip("192.168.77.2")), Pair(3u, Ip("10.77.0.254"))));
}

TEST(NetlinkMessages, AddingIsAnExclusiveStaticRouteOfTheMainTable) {
  std::vector<char> buffer;
  unsigned prefixLength = 0;
  ASSERT_TRUE(MaskToPrefix(Ip("255.255.0.0"), &prefixLength));
  EXPECT_FALSE(MaskToPrefix(Ip("255.0.255.0"), &prefixLength));
  nlmsghdr* message = PutAddRoute(&buffer, Ip("10.9.0.0"), 16, Ip("10.8.0.1"), 7, 42);
  EXPECT_EQ(message->nlmsg_type, RTM_NEWROUTE);
  EXPECT_EQ(message->nlmsg_flags, NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL);
  const rtmsg* info = Header(message);
  EXPECT_EQ(info->rtm_family, AF_INET);
  EXPECT_EQ(info->rtm_dst_len, 16);
  EXPECT_EQ(info->rtm_table, RT_TABLE_MAIN);
  EXPECT_EQ(info->rtm_protocol, kServiceRouteProtocol);
  EXPECT_EQ(info->rtm_scope, RT_SCOPE_UNIVERSE);
  EXPECT_EQ(info->rtm_type, RTN_UNICAST);
  EXPECT_THAT(RouteAttributes(message), ElementsAre(Pair(RTA_DST, Ip("10.9.0.0")), Pair(RTA_OIF, 7u),
                                                    Pair(RTA_GATEWAY, Ip("10.8.0.1")), Pair(RTA_PRIORITY, 42u)));

  // Without a gateway the route is on the link itself.
  message = PutAddRoute(&buffer, Ip("255.255.255.255"), 32, 0, 7, 19);
  EXPECT_EQ(Header(message)->rtm_scope, RT_SCOPE_LINK);
  EXPECT_EQ(RouteAttributes(message).count(RTA_GATEWAY), 0u);
}

TEST(NetlinkMessages, DeletingEchoesTheRowAsRead) {
  std::vector<char> dump;
  const nlmsghdr* dumped = PutDumpedRoute(&dump, RT_TABLE_MAIN);
  const Route route = ParseRoute(dumped).route;
  std::vector<char> buffer;
  const nlmsghdr* message = PutRouteEcho(&buffer, route, RTM_DELROUTE, 0, RTA_UNSPEC);
  EXPECT_EQ(message->nlmsg_type, RTM_DELROUTE);
  EXPECT_EQ(message->nlmsg_flags, NLM_F_REQUEST);
  ASSERT_EQ(mnl_nlmsg_get_payload_len(message), mnl_nlmsg_get_payload_len(dumped));
  rtmsg expected = *Header(dumped);
  expected.rtm_flags = RTNH_F_ONLINK;  // the kernel's state flags are not sent back
  EXPECT_EQ(std::memcmp(Header(message), &expected, sizeof expected), 0);
  EXPECT_EQ(RouteAttributes(message), RouteAttributes(dumped));

  // Changing the metric sends the row without its priority (the new one follows).
  message = PutRouteEcho(&buffer, route, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, RTA_PRIORITY);
  std::map<int, std::uint32_t> withoutPriority = RouteAttributes(dumped);
  withoutPriority.erase(RTA_PRIORITY);
  EXPECT_EQ(RouteAttributes(message), withoutPriority);
}

}  // namespace
}  // namespace netlink
}  // namespace platform
