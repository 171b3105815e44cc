// The shipped templates, rendered for typical start requests, must be accepted by the
// OpenVPN and stunnel programs of the system: OpenVPN parses the whole configuration and
// reaches its management interface; stunnel starts, listens and logs where it should.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/FileWriter.h"
#include "common/Logging.h"
#include "tunnel/OpenVpnConfigManager.h"
#include "common/Paths.h"
#include "platform/Tcp.h"
#include "tunnel/STunnelConfigManager.h"
#include "LoopbackSockets.h"
#include "TestSupport.h"

extern char** environ;

namespace vortan {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

// Writes with the test's own rights.
FileWriter AsService() { return FileWriter(platform::ServiceIdentity()); }

// A port that was free a moment ago.
int FreeLoopbackPort() {
  int port = 0;
  platform::CloseSocket(test::OpenListener(&port));
  return port;
}

// True when the client reached a listener. The port comes from the system's ephemeral
// range, so while nothing listens there a connect can pick that very port as its own
// source port and connect to itself.
bool ReachedAListener(const test::LineClient& client) {
  std::uint32_t local = 0, peer = 0;
  int localPort = 0, peerPort = 0;
  return client.Connected() &&
         platform::SocketEndpoints(client.Fd(), &local, &localPort, &peer, &peerPort).Succeeded() &&
         (localPort != peerPort || local != peer);
}

// A program started in a directory with its output in a file; killed and reaped (by its
// PID) if it still runs when the test ends.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& directory, const std::string& outputPath) {
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (Running()) {
      kill(pid_, SIGKILL);
      WaitForExit(seconds(10));
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return pid_ > 0; }
  bool Running() {
    if (pid_ <= 0 || exited_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) exited_ = true;
    return !exited_;
  }
  // Asks the program to end; true once it has, within ten seconds.
  bool Stop() {
    if (Running()) kill(pid_, SIGTERM);
    return WaitForExit(seconds(10));
  }
  bool WaitForExit(std::chrono::milliseconds timeout) {
    return test::WaitUntil([this] { return !Running(); }, timeout);
  }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
};

// An installed tree with the shipped conf/, bin/stunnel/ (stunnel's working directory),
// logs/ (private, as installed) and client/, the client's directory and the current
// directory, so the relative template texts resolve to conf/.
class ShippedTemplatesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registerLoggers();
    ASSERT_FALSE(test::FileExists(ResolveBesideExecutable("../conf/VortanClient.ovpn")))
        << "a template beside the test executable would hide the shipped ones";
    previousDirectory_ = fs::current_path();
    for (const char* dir : {"bin/stunnel", "client"}) fs::create_directories(root_ / dir);
    fs::permissions(root_ / "logs", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    fs::current_path(root_ / "client");
    // The per-connection files OpenVPN checks for before it starts.
    for (const char* name : {"x_ca.crt", "x_client.crt", "x_client.key"}) test::WriteFile(Client(name), "-");
    fs::permissions(Client("x_client.key"), fs::perms::owner_read | fs::perms::owner_write);
  }
  void TearDown() override {
    if (!previousDirectory_.empty()) fs::current_path(previousDirectory_);  // empty: SetUp stopped before
  }

  std::string Client(const std::string& name) const { return (root_ / "client" / name).string(); }
  std::string Prefix() const { return Client("x_"); }

  std::set<std::string> ClientFiles() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(root_ / "client")) names.insert(entry.path().filename().string());
    return names;
  }

  // Renders the request with the direct template (or the one for the stunnel's local end)
  // and runs OpenVPN on it while the test holds the management port: once the options are
  // accepted, OpenVPN stops at binding the management interface, before it opens any
  // device or connection. Returns OpenVPN's log; *authPath receives the credentials path.
  std::string RunOpenVpnAgainstBusyManagementPort(const RequestParser& request, bool direct,
                                                  std::string* authPath = nullptr) {
    int managementPort = 0;
    const platform::SocketHandle management = test::OpenListener(&managementPort);
    OpenVpnConfigManager generator(request, test::Loopback(), managementPort, direct, AsService());
    if (authPath != nullptr) *authPath = generator.GetAuthFilePath();
    const std::string logPath = (root_ / "openvpn.log").string();
    // --log comes first so that the template's syslog option cannot divert any message.
    const std::string configPath = generator.GetConfigFilePath();
    const int status = test::RunCommand({"timeout", "10", "openvpn", "--log", logPath, "--config", configPath});
    EXPECT_EQ(status, 1) << "OpenVPN should have failed at the management port";
    const std::string log = test::ReadFile(logPath);
    EXPECT_EQ(log.find("Options error"), std::string::npos) << log;
    const std::string bindFailure =
        "MANAGEMENT: Socket bind failed on local address [AF_INET]127.0.0.1:" + std::to_string(managementPort);
    EXPECT_NE(log.find(bindFailure), std::string::npos) << log;
    platform::CloseSocket(management);
    return log;
  }

  test::InstalledLayout layout_{true};
  const fs::path root_{layout_.Root()};
  fs::path previousDirectory_;
};

TEST_F(ShippedTemplatesTest, OpenVpnAcceptsTheDirectTemplateForUdp) {
  const std::string log = RunOpenVpnAgainstBusyManagementPort(
      RequestParser("gw1.example 1194 " + Prefix() + " Vortan-Dashlet udp adaptive"), true);
  EXPECT_NE(log.find("ip-win32"), std::string::npos) << "the Windows-only option is only a warning";
  EXPECT_EQ(ClientFiles(), (std::set<std::string>{"x_ca.crt", "x_client.crt", "x_client.key", "x_vortanclient.ovpn"}));
}

// The credentials path carries the prefix's folders, whatever they hold, in quotes.
TEST_F(ShippedTemplatesTest, OpenVpnAcceptsTheDirectTemplateWithAnAuthenticatingProxy) {
  fs::create_directories(root_ / "client" / "Joe's a\\b #1;100%");
  const std::string prefix = Client("Joe's a\\b #1;100%/x_");
  const RequestParser request("brix_paris.example. 443 \"" + prefix +
                              "\" tap7 tcp winapi 2001:db8::1 8080 alice \"s3 %LOCAL_PORT%\" NTLM");
  std::string authPath;
  RunOpenVpnAgainstBusyManagementPort(request, true, &authPath);
  EXPECT_EQ(authPath, prefix + "auth.txt");
}

TEST_F(ShippedTemplatesTest, OpenVpnAcceptsTheStunnelTemplateForTheLocalEnd) {
  RequestParser request("gw1.example 443 " + Prefix() + " Vortan-Dashlet qbr dynamic");
  // As the tunnel controller rewrites it: OpenVPN goes over TCP to the local stunnel end.
  request.SetRemoteHost("127.0.0.1");
  request.SetRemotePort("5555");
  request.SetProtocol("tcp");
  RunOpenVpnAgainstBusyManagementPort(request, false);
}

TEST_F(ShippedTemplatesTest, OpenVpnHoldsAtItsManagementInterface) {
  const int port = FreeLoopbackPort();
  OpenVpnConfigManager generator(RequestParser("gw1.example 1194 " + Prefix() + " Vortan-Dashlet udp adaptive"),
                                 test::Loopback(), port, true, AsService());
  Child openvpn({"openvpn", "--log", (root_ / "openvpn.log").string(), "--config", generator.GetConfigFilePath()},
                Client(""), (root_ / "openvpn.out").string());
  ASSERT_TRUE(openvpn.Started());

  std::unique_ptr<test::LineClient> client;
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        client = std::make_unique<test::LineClient>("127.0.0.1", port);
        return ReachedAListener(*client) || !openvpn.Running();
      },
      seconds(10)));
  ASSERT_TRUE(client->Connected()) << test::ReadFile((root_ / "openvpn.log").string());
  std::string line = client->ReadLine(seconds(5));
  if (line.rfind(">INFO:", 0) == 0) line = client->ReadLine(seconds(5));
  EXPECT_EQ(line.rfind(">HOLD:Waiting for hold release", 0), 0u) << line;

  EXPECT_TRUE(openvpn.Stop());
}

// stunnel started on the rendered file as the service starts it, without or through a
// proxy: it listens on the local end and writes its log to the service's private logs
// directory, never the proxy's secret to its output.
TEST_F(ShippedTemplatesTest, StunnelStartsWithoutOrThroughAProxy) {
  for (const auto& [proxyWords, secret] : std::vector<std::pair<std::string, std::string>>{
           {"", "no secret"}, {" 192.0.2.20 8080 alice s3cret basic", "s3cret"},
           {" 192.0.2.20 8080 - - none", "no secret"}}) {
    SCOPED_TRACE(proxyWords);
    const int port = FreeLoopbackPort();
    const RequestParser request("192.0.2.10 443 " + Prefix() + " Vortan-Dashlet qbr adaptive" + proxyWords);
    STunnelConfigManager generator(request, test::Loopback(), port, AsService());
    const std::string outputPath = (root_ / "stunnel.out").string();
    Child stunnel({"stunnel", generator.GetConfigFilePath()}, (root_ / "bin" / "stunnel").string(), outputPath);
    ASSERT_TRUE(stunnel.Started());

    // stunnel says where it listens once it does; only then is a connection proof that
    // it, and no other program that took the port meanwhile, listens there.
    const std::string logPath = (root_ / "logs" / "stunnelLog.txt").string();
    const std::string bound = "bound to 127.0.0.1:" + std::to_string(port);
    test::WaitUntil([&] { return test::ReadFile(logPath).find(bound) != std::string::npos || !stunnel.Running(); },
                    seconds(10));
    EXPECT_TRUE(stunnel.Running() && ReachedAListener(test::LineClient("127.0.0.1", port)))
        << "stunnel must stay in the foreground and listen";
    EXPECT_TRUE(stunnel.Stop());

    const std::string log = test::ReadFile(logPath);
    EXPECT_NE(log.find("Configuration successful"), std::string::npos) << log;
    EXPECT_NE(log.find(bound), std::string::npos) << log;
    struct stat info {};
    ASSERT_EQ(stat(logPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & S_IRWXO, 0u) << "the debug log may hold proxy credentials";
    EXPECT_EQ(test::ReadFile(outputPath).find(secret), std::string::npos);
    EXPECT_EQ(ClientFiles(), (std::set<std::string>{"x_ca.crt", "x_client.crt", "x_client.key", "x__stunnel.conf"}));
  }
}

}  // namespace
}  // namespace vortan
