#include "platform/Groups.h"

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/windows/NativeIdentity.h"
#include "platform/windows/Win32Error.h"
#include "platform/windows/WideText.h"

namespace platform {
namespace {

bool IsGroupKind(SID_NAME_USE use) {
  return use == SidTypeGroup || use == SidTypeAlias || use == SidTypeWellKnownGroup;
}

// The SID of the local or domain group named name; the "not found" code when no group
// has that name (a user's name included).
int GroupSid(const std::string& name, std::vector<unsigned char>* sid) {
  const std::wstring wideName = Utf8ToWide(name);
  if (wideName.empty()) return ERROR_NOT_FOUND;
  DWORD sidSize = 0;
  DWORD domainSize = 0;
  SID_NAME_USE use;
  ::LookupAccountNameW(nullptr, wideName.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
  if (sidSize == 0) {
    const DWORD error = ::GetLastError();
    return error == ERROR_NONE_MAPPED || error == ERROR_INSUFFICIENT_BUFFER ? ERROR_NOT_FOUND : static_cast<int>(error);
  }
  sid->assign(sidSize, 0);
  std::wstring domain(domainSize, L'\0');
  if (!::LookupAccountNameW(nullptr, wideName.c_str(), sid->data(), &sidSize, domain.data(), &domainSize, &use)) {
    const DWORD error = ::GetLastError();
    return error == ERROR_NONE_MAPPED ? ERROR_NOT_FOUND : static_cast<int>(error);
  }
  return IsGroupKind(use) ? 0 : ERROR_NOT_FOUND;
}

}  // namespace

// The caller's token lists every group the user belongs to, nested and primary ones
// included; a group the token holds for denying only does not count.
Error IsMemberOf(const CallerIdentity& identity, const std::string& group, bool* member) {
  std::vector<unsigned char> groupSid;
  if (const int error = GroupSid(group, &groupSid)) {
    return Win32Error(static_cast<unsigned long>(error), "LookupAccountNameW");
  }
  HANDLE token = ImpersonationTokenOf(identity);
  // The service's own identity has no token of its own: its process token stands for it.
  // Any other identity without a token cannot be asked.
  if (token == nullptr && !(identity == ServiceIdentity())) return Win32Error(ERROR_NO_TOKEN, "impersonation token");
  BOOL isMember = FALSE;
  if (!::CheckTokenMembership(token, groupSid.data(), &isMember)) return LastWin32Error("CheckTokenMembership");
  *member = isMember != FALSE;
  return Error::Success();
}

}  // namespace platform
