#include "platform/ServiceHost.h"

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "TestCommon.h"
#include "WindowsTestSupport.h"

namespace {

using Result = platform::RegistrationOutcome::Result;
using vortan::test::ExecutableDirectory;
using vortan::test::WaitUntil;

// The stand-in service under a name unique to this run, copied into a directory whose
// name holds a blank: the registered path must reach the manager as one word.
class ServiceRegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = "VortanTestService" + std::to_string(::GetCurrentProcessId());
    directory_ = scratch_.Path(L"vortan service");
    ::CreateDirectoryW(scratch_.WidePath(L"vortan service").c_str(), nullptr);
    executable_ = directory_ + "\\stand in service.exe";
    ASSERT_TRUE(::CopyFileA((ExecutableDirectory() + "\\stand_in_service.exe").c_str(), executable_.c_str(), FALSE));
    definition_ = {name_, "Vortan test service", executable_, directory_};
    manager_ = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager_, nullptr);
  }

  void TearDown() override {
    platform::RequestServiceStop(name_);
    WaitUntil([&] { return CurrentState() == SERVICE_STOPPED || CurrentState() == 0; }, 10000);
    platform::UnregisterService(name_);
    if (manager_ != nullptr) ::CloseServiceHandle(manager_);
  }

  // Runs call on the service opened with access; false when either fails.
  bool WithService(DWORD access, const std::function<BOOL(SC_HANDLE)>& call) {
    SC_HANDLE service = ::OpenServiceW(manager_, std::wstring(name_.begin(), name_.end()).c_str(), access);
    if (service == nullptr) return false;
    const BOOL done = call(service);
    ::CloseServiceHandle(service);
    return done != FALSE;
  }

  DWORD CurrentState() {
    SERVICE_STATUS status{};
    const auto query = [&](SC_HANDLE service) { return ::QueryServiceStatus(service, &status); };
    return WithService(SERVICE_QUERY_STATUS, query) ? status.dwCurrentState : 0;
  }

  std::string Record() { return vortan::test::ReadFile(executable_ + ".record"); }
  // Waits until the stand-in recorded this line.
  bool Recorded(const std::string& line) {
    return WaitUntil([&] { return Record().find(line + "\n") != std::string::npos; }, 5000);
  }

  // The manager's record of the service (null when unreadable), kept until the next call.
  const QUERY_SERVICE_CONFIGW* Config() {
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config_);
    DWORD needed = 0;
    const auto query = [&](SC_HANDLE service) {
      return ::QueryServiceConfigW(service, config, sizeof config_, &needed);
    };
    return WithService(SERVICE_QUERY_CONFIG, query) ? config : nullptr;
  }

  vortan::test::ScratchDirectory scratch_;
  std::string name_;
  std::string directory_;
  std::string executable_;
  platform::ServiceDefinition definition_;
  SC_HANDLE manager_ = nullptr;
  alignas(QUERY_SERVICE_CONFIGW) BYTE config_[8192];
};

TEST_F(ServiceRegistrationTest, RegisteredServiceRunsReportsAndStopsOnRequest) {
  ASSERT_EQ(platform::RegisterService(definition_, platform::ServiceStart::kOnDemand).result, Result::kDone);

  const QUERY_SERVICE_CONFIGW* config = Config();
  ASSERT_NE(config, nullptr);
  const std::wstring quoted = L"\"" + std::wstring(executable_.begin(), executable_.end()) + L"\"";
  EXPECT_EQ(std::wstring(config->lpBinaryPathName), quoted);
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));

  // Not running yet: a stop request has nothing to do and is no failure.
  EXPECT_TRUE(platform::RequestServiceStop(name_).Succeeded());

  ASSERT_TRUE(WithService(SERVICE_START, [](SC_HANDLE svc) { return ::StartServiceW(svc, 0, nullptr); }));
  ASSERT_TRUE(WaitUntil([&] { return CurrentState() == SERVICE_RUNNING; }, 20000)) << Record();
  EXPECT_TRUE(Recorded("running"));
  EXPECT_EQ(Record(), "started-by-manager\nhandler 0\nrunning\n");

  SERVICE_STATUS status{};
  EXPECT_TRUE(WithService(SERVICE_INTERROGATE, [&](SC_HANDLE service) {
    return ::ControlService(service, SERVICE_CONTROL_INTERROGATE, &status);
  }));
  EXPECT_TRUE(Recorded("interrogate"));
  EXPECT_EQ(CurrentState(), static_cast<DWORD>(SERVICE_RUNNING));

  EXPECT_TRUE(platform::RequestServiceStop(name_).Succeeded());
  EXPECT_TRUE(WaitUntil([&] { return CurrentState() == SERVICE_STOPPED; }, 20000));
  EXPECT_TRUE(Recorded("stopped"));
  EXPECT_EQ(Record(), "started-by-manager\nhandler 0\nrunning\ninterrogate\nstop\nstopped\n");

  EXPECT_EQ(platform::UnregisterService(name_).result, Result::kDone);
  EXPECT_EQ(platform::CheckServiceRegistered(name_).result, Result::kNotRegistered);
}

TEST_F(ServiceRegistrationTest, AutomaticStartIsRegistered) {
  ASSERT_EQ(platform::RegisterService(definition_, platform::ServiceStart::kAutomatic).result, Result::kDone);
  ASSERT_NE(Config(), nullptr);
  EXPECT_EQ(Config()->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
}

TEST_F(ServiceRegistrationTest, RegisteringTwiceIsTold) {
  ASSERT_EQ(platform::RegisterService(definition_, platform::ServiceStart::kOnDemand).result, Result::kDone);
  EXPECT_EQ(platform::CheckServiceRegistered(name_).result, Result::kDone);
  EXPECT_EQ(platform::RegisterService(definition_, platform::ServiceStart::kOnDemand).result,
            Result::kAlreadyRegistered);
}

TEST_F(ServiceRegistrationTest, ServiceNotRegisteredIsTold) {
  EXPECT_EQ(platform::CheckServiceRegistered(name_).result, Result::kNotRegistered);
  EXPECT_EQ(platform::UnregisterService(name_).result, Result::kNotRegistered);
  EXPECT_EQ(platform::RequestServiceStop(name_).Code(), ERROR_SERVICE_DOES_NOT_EXIST);
}

// Outside a service the handler cannot be registered, and the host says why.
TEST(ServiceHost, HostOutsideTheManagerReportsItsRegistrationError) {
  platform::ServiceHost host;
  EXPECT_TRUE(host.Error().Failed());
  host.Report(platform::ServiceStatus::kRunning, "127.0.0.1:1");
  host.StopDelivering();
  host.DeliverRequests([](platform::ServiceRequest) { FAIL(); });
}

}  // namespace
