// The built service executable under the service control manager: installed, started,
// answering a client over loopback, stopped by the manager's stop control, removed.

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>

#include "TestCommon.h"

namespace {

const wchar_t* const kServiceName = L"VortanVpnService";

// The executable as the build wrote it, named from this Linux-built tree: Wine shows the
// host's root as drive Z:.
std::filesystem::path BuiltService() {
  std::string path = "Z:" VORTAN_SERVICE_EXECUTABLE;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  return vortan::test::WaitUntil(done, std::chrono::milliseconds(timeoutMs));
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Runs the executable with one switch and returns its exit code (-1 when it did not run
// or end within the wait).
int RunWithSwitch(const std::filesystem::path& executable, const std::wstring& switchText) {
  std::wstring commandLine = L"\"" + executable.wstring() + L"\" " + switchText;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
    return -1;
  }
  ::CloseHandle(process.hThread);
  DWORD code = static_cast<DWORD>(-1);
  if (::WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

// One line from the connection, without its line feed; empty on a failure.
std::string ReadLine(SOCKET connection) {
  std::string line;
  char c = 0;
  while (::recv(connection, &c, 1, 0) == 1 && c != '\n') line += c;
  return line;
}

class ServiceExecutableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() / ("vortan-service-" + std::to_string(::GetCurrentProcessId()));
    for (const char* folder : {"bin", "conf", "logs", "log"}) std::filesystem::create_directories(root_ / folder);
    executable_ = root_ / "bin" / "VortanVpnService.exe";
    std::filesystem::copy_file(BuiltService(), executable_);
    manager_ = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager_, nullptr);
    WSADATA data;
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
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
    ::WSACleanup();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  static DWORD State(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
  }

  // Connects to the endpoint the service published and returns the connection.
  SOCKET ConnectToPublishedEndpoint() {
    const std::string published = ReadAll(root_ / "conf" / "portused.txt");
    std::smatch parts;
    if (!std::regex_match(published, parts, std::regex(R"(zel-vpn-service://(127\.[0-9.]+):([0-9]+))"))) {
      ADD_FAILURE() << "portused.txt holds '" << published << "'";
      return INVALID_SOCKET;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::inet_addr(parts[1].str().c_str());
    address.sin_port = ::htons(static_cast<u_short>(std::stoi(parts[2].str())));
    SOCKET connection = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (::connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      ADD_FAILURE() << "cannot connect to " << published << ": " << ::WSAGetLastError();
      ::closesocket(connection);
      return INVALID_SOCKET;
    }
    return connection;
  }

  std::filesystem::path root_;
  std::filesystem::path executable_;
  SC_HANDLE manager_ = nullptr;
};

TEST_F(ServiceExecutableTest, InstalledServiceAnswersStopsOnTheManagersRequestAndIsRemoved) {
  ASSERT_EQ(RunWithSwitch(executable_, L"/install"), 0);
  SC_HANDLE service = ::OpenServiceW(manager_, kServiceName, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  ASSERT_NE(service, nullptr) << ::GetLastError();
  ASSERT_TRUE(::StartServiceW(service, 0, nullptr)) << ::GetLastError();
  ASSERT_TRUE(WaitUntil([&] { return !ReadAll(root_ / "conf" / "portused.txt").empty(); }, 60000));
  EXPECT_EQ(State(service), static_cast<DWORD>(SERVICE_RUNNING));

  const SOCKET connection = ConnectToPublishedEndpoint();
  if (connection != INVALID_SOCKET) {
    EXPECT_EQ(ReadLine(connection), "Welcome to VortanVpnService management Interface \r");
    ::send(connection, "version\n", 8, 0);
    EXPECT_EQ(ReadLine(connection).rfind("IMPLEMENTATION:", 0), 0u);
    ::closesocket(connection);
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
