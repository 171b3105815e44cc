// Local users against each other: a running tunnel answers only the user who started
// it (and root), the tunnel group, the device word, the per-user session cap, the
// management channel out of every user's reach, and a last request sent just before
// the client half-closes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>

#include "common/Ipv4.h"
#include "NetnsSupport.h"
#include "TestSupport.h"
#include "TestUser.h"
#include "common/socket.h"

namespace vortan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::AsUser;
using test::TestUser;
using ::testing::HasSubstr;

const char* const kForeignTunnel = "ERROR | 0 | The tunnel belongs to another user (code 0)";

std::string ErrnoName(int error) { return error == 0 ? "ok" : std::strerror(error); }

// connect() or bind() of a local socket at path; "ok" or the error's text.
std::string TryLocalSocket(const std::string& path, bool bindIt) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  const int result = bindIt ? bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address)
                            : connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int error = result == 0 ? 0 : errno;
  close(fd);
  return ErrnoName(error);
}

// Two unprivileged users and the service in a namespace of its own.
class TunnelAccessTest : public test::ServiceInNamespaceTest {
 protected:
  TunnelAccessTest() : ServiceInNamespaceTest("vta") {}
  void SetUp() override {
    ASSERT_TRUE(owner_.Created());
    ASSERT_TRUE(other_.Created());
    for (const TestUser* user : {&owner_, &other_}) user->DepositClientFiles(user->Home() + "/x_");
    // A stand-in for OpenVPN that keeps running until it is told to end, so that a
    // tunnel is running without a server.
    InstallProgram("openvpn", test::OpenVpnStandInScript());
  }
  void StartWith(const std::string& settings) {
    layout_.WriteConf("VortanVpnService.ini", settings);
    StartService();
  }
  // One request in a fresh session of user; the reply without its time stamp.
  std::string Ask(const TestUser& user, const std::string& request) {
    return test::Untimed(AskAs(user, request));
  }
  std::string AskAsRoot(const std::string& request) { return test::Untimed(Connect()->Ask(request)); }
  std::string StartWords(const TestUser& user, const std::string& device = "Vortan-Dashlet") const {
    return "start 192.0.2.1 1194 " + user.Home() + "/x_ " + device + " udp adaptive";
  }
  // The last OpenVPN the service launched, from its log; 0 when none.
  std::uint32_t LastLaunched() const {
    const std::string log = layout_.LogText();
    std::uint32_t pid = 0;
    const std::regex launched("process launched\\. pid:([0-9]+)");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), launched); it != std::sregex_iterator(); ++it) {
      pid = static_cast<std::uint32_t>(std::stoul((*it)[1]));
    }
    return pid;
  }
  static bool Running(std::uint32_t pid) { return pid != 0 && test::FileExists("/proc/" + std::to_string(pid)); }
  // Collected by the time "shutdown" answers; the kernel may need a moment to drop it.
  static bool Ended(std::uint32_t pid) {
    return test::WaitUntil([&] { return !Running(pid); }, 1s);
  }

  TestUser owner_;
  TestUser other_;
};

TEST_F(TunnelAccessTest, ARunningTunnelAnswersOnlyItsOwnerAndRoot) {
  StartService();
  ASSERT_EQ(Ask(owner_, StartWords(owner_)), "OK");
  const std::uint32_t tunnel = LastLaunched();
  ASSERT_TRUE(Running(tunnel));

  for (const std::string& request :
       {std::string("shutdown"), StartWords(other_), std::string("route add 10.77.0.0 255.255.0.0 10.8.0.1 1"),
        std::string("route del 10.77.0.0"), std::string("route broadcast 10.8.0.1 255.255.255.0"),
        std::string("route postconnect")}) {
    EXPECT_EQ(Ask(other_, request), kForeignTunnel) << request;
  }
  EXPECT_EQ(Ask(other_, "version").rfind("IMPLEMENTATION:", 0), 0u);
  EXPECT_TRUE(Running(tunnel));
  EXPECT_EQ(LastLaunched(), tunnel);
  EXPECT_FALSE(test::FileExists(other_.Home() + "/x_vortanclient.ovpn")) << "a refused start wrote nothing";

  EXPECT_NE(Ask(owner_, "route del 10.77.0.0"), kForeignTunnel);
  EXPECT_EQ(Ask(owner_, "shutdown"), "OK");
  EXPECT_TRUE(Ended(tunnel));

  // With no tunnel running every user is served as before; root may end anyone's.
  EXPECT_NE(Ask(other_, "route del 10.77.0.0"), kForeignTunnel);
  ASSERT_EQ(Ask(other_, StartWords(other_)), "OK");
  const std::uint32_t othersTunnel = LastLaunched();
  EXPECT_EQ(AskAsRoot("shutdown"), "OK");
  EXPECT_TRUE(Ended(othersTunnel));
}

TEST_F(TunnelAccessTest, OnlyTheTunnelGroupMayStartStopAndRoute) {
  const group* ownersGroup = getgrgid(owner_.Gid());
  ASSERT_NE(ownersGroup, nullptr);
  const std::string groupName = ownersGroup->gr_name;
  StartWith("tunnelgroup = " + groupName + "\n");
  const std::string refused =
      "ERROR | 0 | Only members of the local group " + groupName + " may use this command (code 0)";
  for (const std::string& request : {StartWords(other_), std::string("shutdown"), std::string("route del 10.77.0.0")}) {
    EXPECT_EQ(Ask(other_, request), refused) << request;
  }
  EXPECT_EQ(Ask(other_, "version").rfind("IMPLEMENTATION:", 0), 0u);
  EXPECT_EQ(Ask(other_, "quit"), "bye");
  EXPECT_EQ(Ask(owner_, StartWords(owner_)), "OK");
  EXPECT_EQ(Ask(owner_, "shutdown"), "OK");
}

TEST_F(TunnelAccessTest, ExistingInterfaceIsRefusedBeforeAnythingIsWritten) {
  StartService();
  // Fifteen characters, the longest name the kernel keeps; a longer word, which OpenVPN
  // would cut to that name, is no interface name at all.
  std::string existing = test::UniqueName("vtd");
  existing.resize(15, 'p');
  ns_.AddTap(existing);
  EXPECT_EQ(Ask(owner_, StartWords(owner_, existing)),
            "ERROR | 0 | The device " + existing +
                " is an existing interface: only Vortan-Dashlet or a new interface may be used (code 0)");
  EXPECT_EQ(Ask(owner_, StartWords(owner_, existing + "longer")),
            "ERROR | 0 | Dashlet sent wrong request arguments (code 0)");
  EXPECT_FALSE(test::FileExists(owner_.Home() + "/x_vortanclient.ovpn"));
  EXPECT_EQ(LastLaunched(), 0u);
  EXPECT_EQ(Ask(owner_, StartWords(owner_, test::UniqueName("vtn"))), "OK");
}

TEST_F(TunnelAccessTest, OneUserAtTheCapDoesNotStarveAnother) {
  StartWith("maxsessionsperuser = 3\n");
  AsUser holder(owner_, ns_, [&](AsUser& self) {
    std::vector<std::unique_ptr<test::LineClient>> held;
    for (int i = 0; i < 3; ++i) {
      held.push_back(std::make_unique<test::LineClient>(endpoint_));
      self.Report(held.back()->ReadLine() == std::string(test::kWelcome) ? "welcome" : "no welcome");
    }
    test::LineClient over(endpoint_);
    const std::string first = over.ReadLine(5s);
    self.Report(first.empty() && over.WaitForClose(1s) ? "closed" : "served: " + first);
    self.AwaitGoAhead();
    held.pop_back();
    // The session ends when the service reads the close: a place is free again.
    const bool servedAgain = test::WaitUntil(
        [&] {
          test::LineClient again(endpoint_);
          return again.ReadLine(2s) == std::string(test::kWelcome);
        },
        5s);
    self.Report(servedAgain ? "welcome" : "no welcome");
  });
  for (int i = 0; i < 3; ++i) EXPECT_EQ(holder.Next(), "welcome");
  EXPECT_EQ(holder.Next(), "closed");
  // Meanwhile another user and root are served as usual.
  EXPECT_EQ(Ask(other_, "version").rfind("IMPLEMENTATION:", 0), 0u);
  std::vector<std::unique_ptr<test::LineClient>> rootSessions;
  for (int i = 0; i < 5; ++i) {
    rootSessions.push_back(ns_.Connect(endpoint_));
    EXPECT_EQ(rootSessions.back()->ReadLine(), std::string(test::kWelcome));
  }
  const std::string log = layout_.LogText();
  EXPECT_THAT(log, HasSubstr("connection of user " + std::to_string(owner_.Uid()) +
                             " closed: it holds 3 sessions already"));
  holder.GoAhead();
  EXPECT_EQ(holder.Next(), "welcome");
}

TEST_F(TunnelAccessTest, ManagementChannelIsOutOfReachOfOtherUsers) {
  // The loopback endpoint that the user's own configuration copy names.
  const int managementPort = SocketServer(HostToNet(0x7F000001), 0, 1).BoundPort();
  fs::remove(layout_.Bin() + "/openvpn");
  fs::create_symlink("/usr/sbin/openvpn", layout_.Bin() + "/openvpn");
  StartWith("loopbackaddress = 127.0.0.5/32\nopenvpnmanagementport = " + std::to_string(managementPort) +
            "\n");
  // Files that let OpenVPN get as far as its management hold.
  for (const char* name : {"x_ca.crt", "x_client.crt", "x_client.key"}) test::WriteFile(owner_.Home() + "/" + name, "");
  const std::string channel = layout_.Root() + "/run/management-1.sock";
  AsUser user(owner_, ns_, [&](AsUser& self) {
    // The user takes the loopback endpoint first: OpenVPN does not use it.
    SocketServer squatter(HostToNet(0x7F000005), managementPort, 5);
    test::LineClient client(endpoint_);
    client.ReadLine();
    self.Report(client.Ask(StartWords(owner_, test::UniqueName("vtm"))));
    std::string line;
    do {
      line = client.ReadText(10s);
    } while (!line.empty() && line.rfind("> HOLD:", 0) != 0);
    self.Report(line);
    self.Report(TryLocalSocket(channel, false));
    self.Report(TryLocalSocket(layout_.Root() + "/run/management-2.sock", true));
  });
  EXPECT_EQ(user.Next(), "OK");
  EXPECT_EQ(user.Next(), "> HOLD: Waiting for hold release:0");
  EXPECT_EQ(user.Next(), ErrnoName(EACCES));
  EXPECT_EQ(user.Next(), ErrnoName(EACCES));
}

TEST_F(TunnelAccessTest, LastRequestBeforeAHalfCloseIsServedForItsUser) {
  StartService();
  AsUser user(owner_, ns_, [&](AsUser& self) {
    test::LineClient client(endpoint_);
    // The request and the half-close may reach the service before its session looks
    // the caller up.
    client.Send(StartWords(owner_));
    shutdown(client.Fd(), SHUT_WR);
    client.ReadLine();
    self.Report(client.ReadText(20s));
  });
  EXPECT_EQ(user.Next(), "OK");
  EXPECT_TRUE(Running(LastLaunched()));
}

}  // namespace
}  // namespace vortan
