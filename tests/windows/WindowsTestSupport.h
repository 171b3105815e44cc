#pragma once

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "TestCommon.h"
#include "platform/CallerIdentity.h"
#include "platform/windows/TcpOwnerTable.h"
#include "platform/windows/WideText.h"

namespace vortan {
namespace test {

// A directory of its own under the temporary directory, removed with what it holds.
// Paths handed out are UTF-8, as the service's own paths are.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            (L"vortan-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  std::string Path(const std::wstring& name) const { return platform::WideToUtf8((path_ / name).wstring()); }
  std::wstring WidePath(const std::wstring& name) const { return (path_ / name).wstring(); }

 private:
  std::filesystem::path path_;
};

// Waits for done, polling, at most timeoutMs.
inline bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  return WaitUntil(done, std::chrono::milliseconds(timeoutMs));
}

// The directory of this test program, where the stand-in children are built.
inline std::string ExecutableDirectory() {
  char path[MAX_PATH];
  const std::string text(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
  return text.substr(0, text.rfind('\\'));
}

// Runs a command line until it ends (ended by force after timeoutMs): its exit code, or
// -1 when it did not run or end in time.
inline long RunToEnd(std::wstring commandLine, DWORD creationFlags, DWORD timeoutMs) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, creationFlags, nullptr, nullptr,
                        &startup, &process)) {
    return -1;
  }
  ::CloseHandle(process.hThread);
  DWORD code = static_cast<DWORD>(-1);
  if (::WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
    ::GetExitCodeProcess(process.hProcess, &code);
  } else {
    ::TerminateProcess(process.hProcess, 99);
  }
  ::CloseHandle(process.hProcess);
  return static_cast<long>(code);
}

// A client of the service's line protocol over loopback. A line that does not come
// within 30 s reads as empty, so that a silent service fails a test instead of hanging it.
class LineClient {
 public:
  explicit LineClient(const Endpoint& endpoint) {
    WSADATA data;
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const DWORD timeout = 30000;
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(endpoint.port));
    address.sin_addr.s_addr = ::inet_addr(endpoint.address.c_str());
    connected_ = ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~LineClient() {
    ::closesocket(socket_);
    if (started_) ::WSACleanup();
  }
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  bool Connected() const { return connected_; }
  // One line without its line feed.
  std::string ReadLine() {
    std::string line;
    char c = 0;
    while (::recv(socket_, &c, 1, 0) == 1 && c != '\n') line.push_back(c);
    return line;
  }
  // The reply, past the tunnel's state lines (">...") that arrive in between.
  std::string Ask(const std::string& request) {
    const std::string line = request + "\n";
    ::send(socket_, line.data(), static_cast<int>(line.size()), 0);
    std::string reply = ReadLine();
    while (!reply.empty() && reply[0] == '>') reply = ReadLine();
    return reply;
  }

 private:
  bool started_ = false;
  bool connected_ = false;
  SOCKET socket_ = INVALID_SOCKET;
};

// This process's user with an impersonation token, found the way a connection's owner
// is found; the service's identity when that fails (and the failure is reported).
inline platform::CallerIdentity OwnProcessUser() {
  std::unique_ptr<platform::HeldProcess> process;
  std::optional<platform::CallerIdentity> user;
  if (platform::SystemTcpOwnerTable().HoldProcess(::GetCurrentProcessId(), &process) != 0 ||
      process->User(&user) != 0) {
    ADD_FAILURE() << "cannot take this process's user with its token";
    return platform::ServiceIdentity();
  }
  return *user;
}

}  // namespace test
}  // namespace vortan
