#include "platform/ServiceHost.h"

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace {

using Result = platform::RegistrationOutcome::Result;

std::string ExecutableDirectory() {
  char path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path, length);
  return text.substr(0, text.rfind('\\'));
}

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  while (!done()) {
    if (::GetTickCount() - start > timeoutMs) return false;
    ::Sleep(100);
  }
  return true;
}

// The stand-in service under a name unique to this run, copied into a directory whose
// name holds a blank: the registered path must reach the manager as one word.
class ServiceRegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string unique = std::to_string(::GetCurrentProcessId());
    name_ = "VortanTestService" + unique;
    char temporary[MAX_PATH];
    const DWORD length = ::GetTempPathA(MAX_PATH, temporary);
    directory_ = std::string(temporary, length) + "vortan service " + unique;
    ::CreateDirectoryA(directory_.c_str(), nullptr);
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
    ::DeleteFileA((executable_ + ".record").c_str());
    ::DeleteFileA(executable_.c_str());
    ::RemoveDirectoryA(directory_.c_str());
  }

  SC_HANDLE OpenService(DWORD access) {
    const std::wstring wide(name_.begin(), name_.end());
    return ::OpenServiceW(manager_, wide.c_str(), access);
  }

  DWORD CurrentState() {
    SC_HANDLE service = OpenService(SERVICE_QUERY_STATUS);
    if (service == nullptr) return 0;
    SERVICE_STATUS status{};
    const BOOL queried = ::QueryServiceStatus(service, &status);
    ::CloseServiceHandle(service);
    return queried ? status.dwCurrentState : 0;
  }

  bool WaitForState(DWORD state, DWORD timeoutMs) {
    return WaitUntil([&] { return CurrentState() == state; }, timeoutMs);
  }

  bool Start() {
    SC_HANDLE service = OpenService(SERVICE_START);
    if (service == nullptr) return false;
    const BOOL started = ::StartServiceW(service, 0, nullptr);
    ::CloseServiceHandle(service);
    return started != FALSE;
  }

  std::string Record() { return ReadAll(executable_ + ".record"); }

  std::string name_;
  std::string directory_;
  std::string executable_;
  platform::ServiceDefinition definition_;
  SC_HANDLE manager_ = nullptr;
};

TEST_F(ServiceRegistrationTest, RegisteredServiceRunsReportsAndStopsOnRequest) {
  ASSERT_EQ(platform::RegisterService(definition_, platform::ServiceStart::kOnDemand).result, Result::kDone);

  SC_HANDLE service = OpenService(SERVICE_QUERY_CONFIG);
  ASSERT_NE(service, nullptr);
  BYTE buffer[8192];
  DWORD needed = 0;
  ASSERT_TRUE(::QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer), sizeof buffer, &needed));
  ::CloseServiceHandle(service);
  const QUERY_SERVICE_CONFIGW* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
  const std::wstring quoted = L"\"" + std::wstring(executable_.begin(), executable_.end()) + L"\"";
  EXPECT_EQ(std::wstring(config->lpBinaryPathName), quoted);
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));

  // Not running yet: a stop request has nothing to do and is no failure.
  EXPECT_TRUE(platform::RequestServiceStop(name_).Succeeded());

  ASSERT_TRUE(Start());
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING, 20000)) << Record();
  EXPECT_TRUE(WaitUntil([&] { return Record().find("running\n") != std::string::npos; }, 5000));
  EXPECT_EQ(Record(), "started-by-manager\nhandler 0\nrunning\n");

  SC_HANDLE running = OpenService(SERVICE_INTERROGATE);
  ASSERT_NE(running, nullptr);
  SERVICE_STATUS status{};
  EXPECT_TRUE(::ControlService(running, SERVICE_CONTROL_INTERROGATE, &status));
  ::CloseServiceHandle(running);
  EXPECT_TRUE(WaitUntil([&] { return Record().find("interrogate\n") != std::string::npos; }, 5000));
  EXPECT_EQ(CurrentState(), static_cast<DWORD>(SERVICE_RUNNING));

  EXPECT_TRUE(platform::RequestServiceStop(name_).Succeeded());
  EXPECT_TRUE(WaitForState(SERVICE_STOPPED, 20000));
  EXPECT_TRUE(WaitUntil([&] { return Record().find("stopped\n") != std::string::npos; }, 5000));
  EXPECT_EQ(Record(), "started-by-manager\nhandler 0\nrunning\ninterrogate\nstop\nstopped\n");

  EXPECT_EQ(platform::UnregisterService(name_).result, Result::kDone);
  EXPECT_EQ(platform::CheckServiceRegistered(name_).result, Result::kNotRegistered);
}

TEST_F(ServiceRegistrationTest, AutomaticStartIsRegistered) {
  ASSERT_EQ(platform::RegisterService(definition_, platform::ServiceStart::kAutomatic).result, Result::kDone);
  SC_HANDLE service = OpenService(SERVICE_QUERY_CONFIG);
  ASSERT_NE(service, nullptr);
  BYTE buffer[8192];
  DWORD needed = 0;
  ASSERT_TRUE(::QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer), sizeof buffer, &needed));
  ::CloseServiceHandle(service);
  EXPECT_EQ(reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer)->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
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
