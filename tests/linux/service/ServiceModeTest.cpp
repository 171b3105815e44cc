// The service started as systemd starts a Type=notify unit: a notification socket
// named in NOTIFY_SOCKET, stop and interrogate requests as signals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "common/Logging.h"
#include "app/Service.h"
#include "TestSupport.h"

namespace vortan {
namespace test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// The datagram socket systemd listens on; removed on destruction.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& directory) : path_(directory + "/notify.sock") {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ADD_FAILURE() << "cannot bind " << path_ << ": " << std::strerror(errno);
    }
  }
  ~NotifySocket() {
    close(fd_);
    unlink(path_.c_str());
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  std::string Environment() const { return "NOTIFY_SOCKET=" + path_; }

  // The next notification, or empty text after the time-out.
  std::string Receive(int timeoutMs = 10000) {
    pollfd waiter{fd_, POLLIN, 0};
    if (poll(&waiter, 1, timeoutMs) <= 0) return std::string();
    char buffer[4096];
    ssize_t count = recv(fd_, buffer, sizeof buffer, 0);
    return count > 0 ? std::string(buffer, static_cast<size_t>(count)) : std::string();
  }

  // Notifications up to and including the first that contains text; every one read
  // is appended to seen, when given.
  bool ReceiveUntil(const std::string& text, std::vector<std::string>* seen = nullptr) {
    for (;;) {
      std::string message = Receive();
      if (message.empty()) return false;
      if (seen != nullptr) seen->push_back(message);
      if (message.find(text) != std::string::npos) return true;
    }
  }

 private:
  std::string path_;
  int fd_ = -1;
};

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

void ExpectAllIn(const std::string& text, const std::vector<std::string>& parts) {
  for (const std::string& part : parts) EXPECT_THAT(text, HasSubstr(part));
}

// The notification that announces readiness names the endpoint published in
// portused.txt.
void ExpectReadyForEndpoint(const std::string& ready, const Endpoint& endpoint) {
  EXPECT_THAT(ready, HasSubstr("READY=1\n"));
  EXPECT_THAT(ready, HasSubstr("STATUS=Management listener on " + endpoint.address + ":" +
                               std::to_string(endpoint.port)));
}

class ServiceModeTest : public ::testing::Test {
 protected:
  // Starts the service as systemd does, behind wrapper, and waits until it is ready.
  void StartReady(std::vector<std::string> wrapper = {}) {
    service_.emplace(layout_, std::vector<std::string>{}, std::move(wrapper),
                     std::vector<std::string>{notify_.Environment()});
    std::vector<std::string> seen;
    ASSERT_TRUE(notify_.ReceiveUntil("READY=1", &seen)) << service_->Output();
    ASSERT_TRUE(service_->WaitForEndpoint(&endpoint_));
    ExpectReadyForEndpoint(seen.back(), endpoint_);
  }
  std::string PortUsedPath() const { return layout_.Conf() + "/portused.txt"; }

  InstalledLayout layout_;
  NotifySocket notify_{layout_.Root()};
  std::optional<ServiceProcess> service_;
  Endpoint endpoint_;
};

class StopSignalTest : public ServiceModeTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignalTest, ReportsReadyThenStopsThroughTheStopDialogue) {
  ASSERT_NO_FATAL_FAILURE(StartReady());
  service_->Signal(GetParam());
  ASSERT_TRUE(notify_.ReceiveUntil("STOPPING=1"));
  EXPECT_EQ(0, service_->WaitForExit());
  EXPECT_EQ("STATUS=Stopped", notify_.Receive(2000));
  EXPECT_FALSE(FileExists(PortUsedPath()));

  const std::string log = layout_.LogText();
  ExpectAllIn(log, {"] service - ProcessScmRequest : dwControl=1\n",
                    "] service - Control request STOP or SHUTDOWN received\n", "] service - Exiting...\n"});
  EXPECT_LT(log.find("Control request STOP"), log.find("Exiting..."));
}

INSTANTIATE_TEST_SUITE_P(TerminateAndInterrupt, StopSignalTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == SIGTERM ? std::string("Sigterm") : std::string("Sigint");
                         });

TEST_F(ServiceModeTest, InterrogateReReportsAndControlWithoutStopKeepsServing) {
  ASSERT_NO_FATAL_FAILURE(StartReady());
  service_->Signal(SIGHUP);
  ExpectReadyForEndpoint(notify_.Receive(), endpoint_);
  EXPECT_TRUE(service_->Running());

  {
    LineClient control(endpoint_);
    ASSERT_EQ(kWelcome, control.ReadLine());
    EXPECT_EQ("OK", control.Ask("CONTROL"));
  }
  // The accept loop goes on: a new client is greeted, and stays open across the stop.
  LineClient idle(endpoint_);
  ASSERT_EQ(kWelcome, idle.ReadLine());

  service_->Signal(SIGTERM);
  EXPECT_EQ(0, service_->WaitForExit());
  ExpectAllIn(layout_.LogText(),
              {"ProcessScmRequest : dwControl=4\n", "request to Stop = 0\n", "request to Stop = 1\n"});
}

// Sessions keep calling the tunnel controller while the service exits: the controller
// outlives them, so the exit is a clean one. Each round is a service of its own.
class ServiceExitTest : public ServiceModeTest, public ::testing::WithParamInterface<int> {};

TEST_P(ServiceExitTest, SessionsCallingTheTunnelControllerDuringTheExitAreSafe) {
  constexpr int kClients = 8;
  ASSERT_NO_FATAL_FAILURE(StartReady());
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([this, &answered] {
      LineClient client(endpoint_);
      client.ReadLine();
      while (client.Send("shutdown") && client.ReadText(std::chrono::seconds(5)) == "OK") ++answered;
    });
  }
  ASSERT_TRUE(WaitUntil([&] { return answered >= 50; }, std::chrono::seconds(10)));
  service_->Signal(SIGTERM);
  EXPECT_EQ(0, service_->WaitForExit()) << layout_.LogText().substr(0, 4000);
  for (std::thread& client : clients) client.join();
}

INSTANTIATE_TEST_SUITE_P(Rounds, ServiceExitTest, ::testing::Range(0, 5));

// While idle clients hold every descriptor, the stop dialogue's own connection cannot
// be accepted either: the stop still ends the service.
TEST_F(ServiceModeTest, StopsWhileIdleClientsHoldEveryDescriptor) {
  if (kSanitizedBuild) GTEST_SKIP() << "the sanitizer run-time cannot work without descriptors";
  ASSERT_NO_FATAL_FAILURE(StartReady({"prlimit", "--nofile=64:64", "--"}));
  std::vector<std::unique_ptr<LineClient>> idle;
  for (int i = 0; i < 70; ++i) idle.push_back(std::make_unique<LineClient>(endpoint_));
  ASSERT_TRUE(WaitUntil([&] { return layout_.LogText().find("Cannot accept a connection, retrying") != std::string::npos; },
                        std::chrono::seconds(10)));
  service_->Signal(SIGTERM);
  EXPECT_EQ(0, service_->WaitForExit());
  EXPECT_FALSE(FileExists(PortUsedPath()));
}

TEST_F(ServiceModeTest, FailedStartUpGoesFromStartingToStoppedWithoutReady) {
  layout_.WriteConf("VortanVpnService.ini", "vortanvpnserviceport =\n");
  ServiceProcess service(layout_, {}, {}, {notify_.Environment()});
  EXPECT_EQ(1, service.WaitForExit()) << "a failure must let Restart=on-failure restart the service";
  std::vector<std::string> seen;
  EXPECT_TRUE(notify_.ReceiveUntil("STATUS=Stopped", &seen));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ("STATUS=Starting", seen.front());
  for (const std::string& message : seen) EXPECT_THAT(message, Not(HasSubstr("READY=1")));
  EXPECT_THAT(layout_.LogText(), HasSubstr("Service running error : CFG: Bad format for line: 1"));
}

TEST_F(ServiceModeTest, StartedByHandOutsideSystemdFailsWithAHint) {
  ServiceProcess service(layout_, {});
  EXPECT_EQ(1, service.WaitForExit());
  EXPECT_THAT(service.Output(), HasSubstr("use /console to run it in a terminal\n"));
  EXPECT_FALSE(FileExists(PortUsedPath()));
}

// Controls that no signal delivers, handled in-process.
TEST(CServiceControls, PauseInterrogateAndUnknownCodes) {
  registerLoggers();
  InstalledLayout scratch;
  NotifySocket notify(scratch.Root());
  setenv("NOTIFY_SOCKET", notify.Environment().substr(std::strlen("NOTIFY_SOCKET=")).c_str(), 1);
  {
    CService service;
    ::testing::internal::CaptureStdout();
    for (std::uint32_t code : {control::kPause, control::kContinue, 99u, control::kInterrogate}) {
      service.ProcessScmRequest(code);
    }
    service.WaitForControl(0);  // nothing ever sets its event: no control is handled
    const std::string log = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(2u, CountOf(log, "Control request PAUSE or CONTINUE received\n"));
    EXPECT_THAT(log, HasSubstr("Invalid service control request : 99.\n"));
    EXPECT_EQ(4u, CountOf(log, "ProcessScmRequest : dwControl="));
    EXPECT_EQ("STATUS=Starting", notify.Receive(2000));
    EXPECT_FALSE(service.IsStopPending());
  }
  unsetenv("NOTIFY_SOCKET");
}

}  // namespace
}  // namespace test
}  // namespace vortan
