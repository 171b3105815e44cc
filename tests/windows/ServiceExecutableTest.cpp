// The built service executable under the service control manager: installed, started,
// answering a client over loopback, stopped by the manager's stop control, removed.

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "TestCommon.h"
#include "WindowsTestSupport.h"

namespace {

const wchar_t* const kServiceName = L"VortanVpnService";

// The executable as the build wrote it, named from this Linux-built tree: Wine shows the
// host's root as drive Z:.
std::filesystem::path BuiltService() {
  std::string path = "Z:" VORTAN_SERVICE_EXECUTABLE;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

using vortan::test::WaitUntil;

std::string ReadAll(const std::filesystem::path& path) { return vortan::test::ReadFile(path.u8string()); }

// Runs the executable with one switch and returns its exit code (-1 when it did not run
// or end within the wait).
long RunWithSwitch(const std::filesystem::path& executable, const std::wstring& switchText) {
  return vortan::test::RunToEnd(L"\"" + executable.wstring() + L"\" " + switchText, 0, 60000);
}

class ServiceExecutableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.WidePath(L"service");
    for (const char* folder : {"bin", "conf", "logs", "log"}) std::filesystem::create_directories(root_ / folder);
    executable_ = root_ / "bin" / "VortanVpnService.exe";
    std::filesystem::copy_file(BuiltService(), executable_);
    manager_ = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager_, nullptr);
  }

  void TearDown() override {
    if (SC_HANDLE service = ::OpenServiceW(manager_, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS)) {
      SERVICE_STATUS status{};
      ::ControlService(service, SERVICE_CONTROL_STOP, &status);
      WaitUntil([&] { return State(service) == SERVICE_STOPPED; }, 20000);
      ::CloseServiceHandle(service);
      RunWithSwitch(executable_, L"/remove");
    }
    if (manager_ != nullptr) ::CloseServiceHandle(manager_);
  }

  static DWORD State(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
  }

  vortan::test::ScratchDirectory scratch_;
  std::filesystem::path root_;
  std::filesystem::path executable_;
  SC_HANDLE manager_ = nullptr;
};

TEST_F(ServiceExecutableTest, InstalledServiceAnswersStopsOnTheManagersRequestAndIsRemoved) {
  ASSERT_EQ(RunWithSwitch(executable_, L"/install"), 0);
  SC_HANDLE service = ::OpenServiceW(manager_, kServiceName, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  ASSERT_NE(service, nullptr) << ::GetLastError();
  ASSERT_TRUE(::StartServiceW(service, 0, nullptr)) << ::GetLastError();
  vortan::test::Endpoint endpoint;
  const std::filesystem::path published = root_ / "conf" / "portused.txt";
  ASSERT_TRUE(WaitUntil([&] { return vortan::test::ParsePortUsed(ReadAll(published), &endpoint); }, 60000))
      << "portused.txt holds '" << ReadAll(published) << "'";
  EXPECT_EQ(State(service), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(endpoint.address.rfind("127.", 0), 0u) << endpoint.address;

  {
    vortan::test::LineClient client(endpoint);
    EXPECT_TRUE(client.Connected()) << "cannot connect to " << endpoint.address << ":" << endpoint.port;
    EXPECT_EQ(client.ReadLine(), "Welcome to VortanVpnService management Interface \r");
    EXPECT_EQ(client.Ask("version").rfind("IMPLEMENTATION:", 0), 0u);
  }

  SERVICE_STATUS status{};
  ASSERT_TRUE(::ControlService(service, SERVICE_CONTROL_STOP, &status)) << ::GetLastError();
  EXPECT_TRUE(WaitUntil([&] { return State(service) == SERVICE_STOPPED; }, 30000)) << State(service);
  ::CloseServiceHandle(service);

  EXPECT_EQ(RunWithSwitch(executable_, L"/remove"), 0);
  EXPECT_EQ(::OpenServiceW(manager_, kServiceName, SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  const std::string log = ReadAll(root_ / "logs" / "vortanVpnService.log");
  EXPECT_NE(log.find("starting..."), std::string::npos) << log;
}

}  // namespace
