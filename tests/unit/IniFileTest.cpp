#include <gtest/gtest.h>

#include <set>

#include "settings/IniFile.h"
#include "common/Ipv4.h"
#include "common/Logging.h"
#include "TestCommon.h"

namespace vortan {
namespace {

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registerLoggers();
    path_ = test::TempPath(test::UniqueName("ini") + ".ini");
  }
  void TearDown() override { std::remove(path_.c_str()); }
  IniFile Load(const std::string& content) {
    test::WriteFile(path_, content);
    return IniFile(path_);
  }
  std::string ErrorOf(const std::string& content) {
    return test::ErrorOf<std::runtime_error>([&] { Load(content); });
  }
  std::string path_;
};

std::vector<int> Range(int first, int last) {
  std::vector<int> ports;
  for (int port = first; port <= last; ++port) ports.push_back(port);
  return ports;
}

TEST_F(IniFileTest, MissingFileGivesTheDefaults) {
  IniFile settings("/nonexistent/VortanVpnService.ini");
  EXPECT_EQ(settings.getVpnManagementPorts(), Range(3000, 3999));
  EXPECT_TRUE(settings.getServicePorts().empty());
  EXPECT_EQ(settings.getStunnelProxyPorts(), Range(5555, 5558));
  EXPECT_EQ(settings.getBindRange().toString(), "127.0.0.1/8");
  EXPECT_EQ(Load("loopbackaddress = 127.10.0.0/16 ; comment\n").getBindRange().toString(), "127.10.0.0/16");
  EXPECT_TRUE(settings.getApplyPushedDns());
  EXPECT_FALSE(Load("ApplyPushedDns = no\n").getApplyPushedDns());
  EXPECT_FALSE(Load("applypusheddns=0\n").getApplyPushedDns());
  EXPECT_TRUE(Load("applypusheddns = yes\n").getApplyPushedDns());
  EXPECT_TRUE(settings.getRestartOnNetworkChange());
  EXPECT_FALSE(Load("RestartOnNetworkChange = off\n").getRestartOnNetworkChange());
  EXPECT_EQ(settings.getTunnelGroup(), "");
  EXPECT_EQ(settings.getMaxSessionsPerUser(), 64);
}

TEST_F(IniFileTest, PortKeysMatchBySubstringAndAppendOneRangePerLine) {
  IniFile settings = Load("OpenVpnManagementPort = 4000-4002\nopenvpnmanagementport=4010\r\nmyqbrport=7000\n");
  EXPECT_EQ(settings.getVpnManagementPorts(), (std::vector<int>{4000, 4001, 4002, 4010}));
  EXPECT_EQ(settings.getStunnelProxyPorts(), (std::vector<int>{7000}));
}

TEST_F(IniFileTest, PortValuesThatCannotBeReadFallBackToTheDefaults) {
  EXPECT_EQ(Load("qbrport = 6000 - 6005\n").getStunnelProxyPorts(), Range(5555, 5558));
  EXPECT_TRUE(Load("vortanvpnserviceport = 0\n").getServicePorts().empty());
  EXPECT_TRUE(Load("vortanvpnserviceport = 0-10\n").getServicePorts().empty());
  EXPECT_EQ(Load("vortanvpnserviceport = 20-10\n").getServicePorts(), Range(10, 20));
  EXPECT_EQ(Load("qbrport = 99999999999\n").getStunnelProxyPorts(), Range(5555, 5558));
  EXPECT_EQ(Load("qbrport=\t\n").getStunnelProxyPorts(), Range(5555, 5558));
}

TEST_F(IniFileTest, PortListsStopAtTheHighestPort) {
  EXPECT_EQ(Load("vortanvpnserviceport = 65534-70000\n").getServicePorts(), (std::vector<int>{65534, 65535}));
}

TEST_F(IniFileTest, AccessKeysSetTheTunnelGroupAndTheSessionCap) {
  IniFile settings = Load("TunnelGroup = vortanvpn ; who may start\nMaxSessionsPerUser=5\n");
  EXPECT_EQ(settings.getTunnelGroup(), "vortanvpn");
  EXPECT_EQ(settings.getMaxSessionsPerUser(), 5);
  for (const char* unreadable : {"0", "-3", "many", "99999999999", "5 6"}) {
    EXPECT_EQ(Load(std::string("maxsessionsperuser = ") + unreadable + "\n").getMaxSessionsPerUser(), 64)
        << unreadable;
  }
}

// A malformed line names its line number, a bad loopback range its text.
TEST_F(IniFileTest, MalformedLinesAndBadLoopbackRangesThrowTheirTexts) {
  const std::pair<const char*, const char*> rows[] = {
      {"a=1\nb=2\nword\n", "CFG: Couldn't find separator on line: 3\n"},
      // Comments and blank lines are skipped but count as lines.
      {"   ; comment\n      \n\nword\n", "CFG: Couldn't find separator on line: 4\n"},
      {"qbrport=\n", "CFG: Bad format for line: 1\n"},
      {"qbrport=   \n", "CFG: Bad format for line: 1\n"},
      {"x=1\n  =5\n", "CFG: Bad format for line: 2\n"},
      {"\t\n", "CFG: Couldn't find separator on line: 1\n"},
      {"loopbackaddress=127.0.0.1/7\n", "Invalid CIDR mask in reference 127.0.0.1/7"},
      {"loopbackaddress=127.0.0.1/33\n", "Invalid CIDR mask in reference 127.0.0.1/33"},
      {"loopbackaddress=127.0.0.1\n", "Invalid CIDR format in reference 127.0.0.1"},
      {"loopbackaddress=999.0.0.1/8\n", "Invalid CIDR address reference 999.0.0.1/8"},
  };
  for (const auto& [content, error] : rows) EXPECT_EQ(ErrorOf(content), error) << content;
}

TEST(CidrRange, DrawsStayInsideTheRange) {
  CidrRange range("127.10.0.0/16");
  std::set<std::uint32_t> seen;
  for (int i = 0; i < 200; ++i) {
    std::uint32_t address = range.randomAddress();
    EXPECT_EQ(address >> 16, 0x7F0Au);
    seen.insert(address);
  }
  EXPECT_GT(seen.size(), 150u);
  EXPECT_EQ(CidrRange("127.0.0.5/32").randomAddress(), 0x7F000005u);
  EXPECT_EQ(CidrRange("127.0.0.4/31").randomAddress(), 0x7F000005u);
  EXPECT_EQ(CidrRange("10.0.0.1/8").randomAddress(), 0u);
  EXPECT_EQ(CidrRange("127.0.0.1/8").randomAddress() >> 24, 127u);
}

}  // namespace
}  // namespace vortan
