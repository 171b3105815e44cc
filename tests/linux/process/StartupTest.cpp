// Start-up, settings, command line and fault handling of the real executable.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "common/Ipv4.h"
#include "common/socket.h"

namespace vortan {
namespace {

using test::Endpoint;
using test::InstalledLayout;
using test::ServiceProcess;
using ::testing::HasSubstr;
using ::testing::Not;

// A fresh layout; Start() runs its service (with settings, when given) and waits for
// the endpoint it publishes.
class Startup : public ::testing::Test {
 protected:
  void Start(const std::string& settings = "", std::vector<std::string> wrapper = {}) {
    if (!settings.empty()) layout_.WriteConf("VortanVpnService.ini", settings);
    service_.emplace(layout_, std::vector<std::string>{"/console"}, std::move(wrapper));
    ASSERT_TRUE(service_->WaitForEndpoint(&endpoint_));
  }
  InstalledLayout layout_;
  std::optional<ServiceProcess> service_;
  Endpoint endpoint_;
};
using CrashHandling = Startup;

int FreeLoopbackPort() {
  // Port 0 bound and released: free at the time of the call.
  return SocketServer(HostToNet(0x7F000001), 0, 1).BoundPort();
}

// The lines of a fatal fault in the log (each with its time stamp) and the dump.
void ExpectFaultLoggedAndDumped(const InstalledLayout& layout) {
  const std::string log = layout.LogText();
  EXPECT_TRUE(std::regex_search(log, std::regex("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}"
                                                "\\[ERROR\\]\\[main\\] default - Service will stop because "
                                                "of an Unhandled exception 3221225477"
                                                "\\(EXCEPTION_ACCESS_VIOLATION\\) at address [0-9A-F]+\n")))
      << log;
  EXPECT_THAT(log, HasSubstr("[ERROR][main] default - MiniDumpWriteDump success. \n"));
  EXPECT_THAT(test::ReadFile(layout.Root() + "/log/VortanVpnService.dump"), HasSubstr("backtrace:"));
}

TEST_F(Startup, LogsInTheServiceLayoutToFileAndStandardOutput) {
  Start();
  const std::regex first("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}"
                         "\\[INFO\\]\\[main\\] service - starting\\.\\.\\.\n");
  const std::string log = layout_.LogText();
  EXPECT_TRUE(std::regex_match(log.substr(0, log.find('\n') + 1), first)) << log;
  EXPECT_THAT(service_->Output(), HasSubstr("[INFO][main] service - bound to " + endpoint_.address));
  EXPECT_FALSE(test::FileExists(layout_.Root() + "/bin/logs/myeasylog.log"));
}

TEST_F(Startup, ServicePortComesFromTheSettings) {
  const int port = FreeLoopbackPort();
  Start("; the management listener\nVortanVpnServicePort = " + std::to_string(port) + "\n");
  EXPECT_EQ(endpoint_.port, port);
}

TEST_F(Startup, RangeWithoutLoopbackAddressFallsBackTo127001) {
  Start("loopbackaddress = 10.0.0.1/8\n");
  EXPECT_EQ(endpoint_.address, "127.0.0.1");
  EXPECT_THAT(layout_.LogText(), HasSubstr("[ERROR][main] service - Unable to find a random loopback "
                                           "address in range 10.0.0.1/8"));
  test::LineClient client(endpoint_);
  EXPECT_EQ(client.ReadLine(), test::kWelcome);
}

// OpenVPN's management endpoint and the stunnel endpoint follow the listener's rule: a
// range naming a LAN address gives 127.0.0.1 for them too.
TEST_F(Startup, EveryEndpointStaysOnLoopbackForARangeNamingALanAddress) {
  InstalledLayout layout(true);
  layout.WriteConf("VortanVpnService.ini", "loopbackaddress = 192.168.77.10/32\n");
  const std::string clientDir = layout.Root() + "/client";
  std::filesystem::create_directories(clientDir);
  ServiceProcess service(layout);
  Endpoint endpoint;
  ASSERT_TRUE(service.WaitForEndpoint(&endpoint));
  EXPECT_EQ(endpoint.address, "127.0.0.1");
  test::LineClient client(endpoint);
  client.ReadLine();
  const std::string reply =
      client.Ask("start 192.0.2.1 1194 " + clientDir + "/x_ " + test::UniqueName("vt") + " udp adaptive");
  const std::string openVpnConfig = test::ReadFile(clientDir + "/x_vortanclient.ovpn");
  EXPECT_TRUE(std::regex_search(openVpnConfig, std::regex("\nmanagement 127\\.0\\.0\\.1 \\d+\\s"))) << reply;
  const std::string stunnelConfig = test::ReadFile(clientDir + "/x__stunnel.conf");
  EXPECT_TRUE(std::regex_search(stunnelConfig, std::regex("\naccept = 127\\.0\\.0\\.1:\\d+\\s"))) << stunnelConfig;
  EXPECT_THAT(openVpnConfig, Not(HasSubstr("192.168.77.10")));
  EXPECT_THAT(stunnelConfig, Not(HasSubstr("192.168.77.10")));
}

TEST_F(Startup, MalformedSettingsEndTheMainLoopAndLeaveNoPortFile) {
  // Left by an earlier run.
  test::WriteFile(layout_.Conf() + "/portused.txt", "zel-vpn-service://127.0.0.9:1");
  layout_.WriteConf("VortanVpnService.ini", "qbrport=\n");
  ServiceProcess service(layout_);
  EXPECT_EQ(service.WaitForExit(), 1);
  EXPECT_FALSE(test::FileExists(layout_.Conf() + "/portused.txt"));
  const std::string log = layout_.LogText();
  EXPECT_THAT(log, HasSubstr("service - Service running error : CFG: Bad format for line: 1\n"));
  EXPECT_THAT(log, HasSubstr("service - Exiting..."));
}

TEST_F(Startup, UnwritablePortFileIsLoggedAndTheListenerServes) {
  std::filesystem::create_directory(layout_.Conf() + "/portused.txt");  // cannot be opened as a file
  ServiceProcess service(layout_);
  ASSERT_TRUE(test::WaitUntil([&] { return layout_.LogText().find("bound to ") != std::string::npos; },
                              std::chrono::seconds(10)));
  const std::string unwritable = "Unable to open file :  ..\\conf\\portused.txt to write free port";
  ASSERT_TRUE(test::WaitUntil([&] { return layout_.LogText().find(unwritable) != std::string::npos; },
                              std::chrono::seconds(5)));
  EXPECT_TRUE(service.Running());
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

// Idle connections that use up the service's descriptors only delay new clients: the
// listener survives the shortage, and once the idle clients go the service answers.
TEST_F(Startup, IdleClientsHoldingEveryDescriptorDoNotStopTheService) {
  if (test::kSanitizedBuild) GTEST_SKIP() << "the sanitizer run-time cannot work without descriptors";
  Start("", {"prlimit", "--nofile=64:64", "--"});
  std::vector<std::unique_ptr<test::LineClient>> idle;
  for (int i = 0; i < 70; ++i) idle.push_back(std::make_unique<test::LineClient>(endpoint_));
  const std::string shortage =
      "[WARNING][main] service - Cannot accept a connection, retrying: Too many open files id[24]\n";
  ASSERT_TRUE(test::WaitUntil([&] { return layout_.LogText().find(shortage) != std::string::npos; },
                              std::chrono::seconds(10)))
      << layout_.LogText();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(service_->Running());
  idle.clear();

  test::LineClient client(endpoint_);
  EXPECT_EQ(client.ReadLine(), test::kWelcome);
  EXPECT_EQ(client.Ask("version").rfind("IMPLEMENTATION:", 0), 0u);
  // A session that ends during the shortage frees a descriptor and ends the burst
  // early, so there may be more than one; each is logged once when it starts and once
  // when it ends, never once per failed accept.
  const std::string log = layout_.LogText();
  const std::size_t bursts = Occurrences(log, shortage);
  EXPECT_GE(bursts, 1u);
  EXPECT_EQ(bursts, Occurrences(log, "service - Connections accepted again after ")) << log;
}

TEST(CommandLine, HelpPrintsTheUsageAndExitsWithZero) {
  for (const char* help : {"/?", "/h", "-help"}) {
    InstalledLayout layout;
    ServiceProcess service(layout, {help});
    EXPECT_EQ(service.WaitForExit(), 0) << help;
    EXPECT_THAT(service.Output(),
                HasSubstr("Usage : VortanVpnService /install[:servicename] [/auto] : Installs service.\n"
                          "        VortanVpnService /remove[:servicename] : Stops and removes service.\n\n"));
  }
}

TEST_F(CrashHandling, FatalFaultIsLoggedAndDumped) {
  Start();
  service_->Signal(SIGSEGV);
  EXPECT_EQ(service_->WaitForExit(), 128 + SIGSEGV);
  ExpectFaultLoggedAndDumped(layout_);
  const std::string dump = layout_.Root() + "/bin/../log/VortanVpnService.dump";
  EXPECT_THAT(layout_.LogText(), HasSubstr("default - MiniDumpWriteDump on " + dump));
  EXPECT_THAT(service_->Output(), HasSubstr("[ERROR][main] default - MiniDumpWriteDump success. \n"));
}

// A fault while another thread holds the log's lock (blocked writing a line to a
// standard output that nobody reads) still ends the process, with its log lines in
// the log file and its dump.
TEST_F(CrashHandling, FaultWhileAnotherThreadHoldsTheLogLockEndsTheProcessWithItsDump) {
  const std::string output = layout_.Root() + "/stdout.txt";
  ASSERT_EQ(mkfifo(output.c_str(), 0600), 0);
  const int reader = open(output.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_GT(fcntl(reader, F_SETPIPE_SZ, 4096), 0);
  Start();
  test::LineClient client(endpoint_);
  std::string requests;
  for (int i = 0; i < 200; ++i) requests += "version\n";
  client.SendRaw(requests);
  // Once the pipe takes no more, the session waits in its write (the kernel names the
  // wait), holding the lock.
  const std::string tasks = "/proc/" + std::to_string(service_->Pid()) + "/task";
  auto writerBlocked = [&] {
    std::error_code gone;
    for (const auto& task : std::filesystem::directory_iterator(tasks, gone)) {
      if (test::ReadFile(task.path().string() + "/wchan").find("pipe_write") != std::string::npos) return true;
    }
    return false;
  };
  ASSERT_TRUE(test::WaitUntil(writerBlocked, std::chrono::seconds(10)));

  service_->Signal(SIGSEGV);
  EXPECT_EQ(service_->WaitForExit(std::chrono::seconds(2)), 128 + SIGSEGV);
  close(reader);
  ExpectFaultLoggedAndDumped(layout_);
}

}  // namespace
}  // namespace vortan
