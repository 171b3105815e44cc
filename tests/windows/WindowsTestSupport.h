#pragma once

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

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
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    path_ = std::filesystem::path(std::wstring(temp, length)) /
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
