// Faults around a tunnel start: the service answers, tells the client, and keeps
// serving.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <thread>

#include "NetnsSupport.h"
#include "TestSupport.h"
#include "TestUser.h"
#include "Version.h"

namespace vortan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class FaultTest : public test::ServiceInNamespaceTest {
 protected:
  FaultTest() : ServiceInNamespaceTest("vtf") {}
  void SetUp() override {
    fs::create_symlink("/usr/sbin/openvpn", layout_.Bin() + "/openvpn");
    clientDir_ = layout_.Root() + "/client";
    fs::create_directories(clientDir_);
    // Present but unusable: OpenVPN passes its option checks, opens the management
    // interface and reports the failure there.
    for (const char* name : {"x_ca.crt", "x_client.crt", "x_client.key"}) {
      test::WriteFile(clientDir_ + "/" + name, "not a certificate\n");
    }
    StartService();
  }
  // A tunnel towards an address nothing answers in the namespace: OpenVPN keeps
  // retrying and reporting.
  std::string StartRequest(const std::string& protocol = "udp") const {
    return "start 192.0.2.1 1194 " + clientDir_ + "/x_ " + test::UniqueName("vt") + " " + protocol +
           " adaptive";
  }
  void ExpectServing() {
    auto client = Connect();
    EXPECT_EQ(client->Ask("version"), "IMPLEMENTATION:" + std::string(VORTAN_VERSION_TEXT) + " COMPATIBILITY:6.5");
    EXPECT_TRUE(service_->Running());
  }

  std::string clientDir_;
};

TEST_F(FaultTest, UnreadableTemplateGivesAnEmptyConfigurationAndTheClientLearnsTheTunnelEnded) {
  fs::remove(layout_.Conf() + "/VortanClient.ovpn");
  fs::create_directory(layout_.Conf() + "/VortanClient.ovpn");  // cannot be read as a file, even by root
  auto client = Connect();
  EXPECT_EQ(client->Ask(StartRequest()), "OK");
  std::string line;
  do {
    line = client->ReadText(10s);
  } while (!line.empty() && line.find(",EXITING,") == std::string::npos);
  EXPECT_EQ(line, "> STATE: 00000000 ,EXITING,exit-with-notification,,");
  EXPECT_EQ(test::ReadFile(clientDir_ + "/x_vortanclient.ovpn"), "");
  ExpectServing();
}

TEST_F(FaultTest, ClientVanishingWhileNotificationsAreRelayedHarmsNothing) {
  {
    auto client = Connect();
    ASSERT_EQ(client->Ask(StartRequest()), "OK");
    // Wait until relaying has begun, then vanish.
    EXPECT_NE(client->ReadLine(10s), "");
  }
  std::this_thread::sleep_for(1500ms);
  ExpectServing();
  auto other = Connect();
  EXPECT_EQ(other->Ask("shutdown"), "OK");
  EXPECT_NE(layout_.LogText().find("Management Interface R: "), std::string::npos) << layout_.LogText();
}

// Stand-ins for OpenVPN and stunnel that ignore the termination signal (an ignored
// signal stays ignored across exec): the shutdown kills them after its wait, and
// nothing the service started outlives it.
TEST_F(FaultTest, ChildrenThatIgnoreTheTerminationSignalAreKilled) {
  InstallProgram("openvpn", test::OpenVpnStandInScript("trap '' TERM"));
  fs::create_directories(layout_.Bin() + "/stunnel");
  InstallProgram("stunnel/stunnel", "#!/bin/sh\ntrap '' TERM\nexec sleep 600\n");
  auto client = Connect();
  ASSERT_EQ(client->Ask(StartRequest("qbr")), "OK");
  std::string pids;
  test::RunCommand({"ip", "netns", "pids", ns_.Name()}, &pids);
  EXPECT_EQ(std::count(pids.begin(), pids.end(), '\n'), 3) << pids;  // the service and its two children
  // Another connection: the first one carries the tunnel's status lines. Each program
  // gets its full wait before it is killed.
  auto other = Connect();
  other->Send("shutdown");
  EXPECT_EQ(other->ReadText(30s), "OK");
  test::RunCommand({"ip", "netns", "pids", ns_.Name()}, &pids);
  EXPECT_EQ(pids, std::to_string(service_->Pid()) + "\n");
  const std::string log = layout_.LogText();
  EXPECT_NE(log.find("OpenVPN did not exit, killing it"), std::string::npos) << log;
  EXPECT_NE(log.find("stunnel did not exit, killing it"), std::string::npos) << log;
  ExpectServing();
}

}  // namespace
}  // namespace vortan
