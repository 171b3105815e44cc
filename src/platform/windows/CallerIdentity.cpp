#include "platform/CallerIdentity.h"

#include <winsock2.h>
#include <windows.h>
#include <sddl.h>

#include <memory>
#include <vector>

#include "platform/windows/NativeIdentity.h"
#include "platform/windows/WideText.h"

namespace platform {
namespace {

std::string SidString(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return std::string();
  std::string result = WideToUtf8(text);
  ::LocalFree(text);
  return result;
}

CallerIdentity MakeIdentity(PSID sid, HANDLE token) {
  const auto* bytes = static_cast<const unsigned char*>(sid);
  std::vector<unsigned char> sidBytes(bytes, bytes + ::GetLengthSid(sid));
  return CallerIdentity(std::make_shared<const CallerIdentity::Native>(std::move(sidBytes), SidString(sid), token));
}

// The token's user record (a TOKEN_USER followed by the SID it points to).
int ReadTokenUser(HANDLE token, std::vector<unsigned char>* record) {
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return static_cast<int>(::GetLastError());
  record->assign(size, 0);
  if (!::GetTokenInformation(token, TokenUser, record->data(), size, &size)) return static_cast<int>(::GetLastError());
  return 0;
}

CallerIdentity IdentityOfOwnProcess() {
  HANDLE token = nullptr;
  std::vector<unsigned char> record;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    ReadTokenUser(token, &record);
    ::CloseHandle(token);
  }
  if (record.empty()) {
    // Without its own token the service knows itself by no SID: it then equals no
    // caller, and acts as itself only when it names itself.
    return CallerIdentity(std::make_shared<const CallerIdentity::Native>(std::vector<unsigned char>(), "", nullptr));
  }
  // The service acts with its own rights: it needs no token to impersonate.
  return MakeIdentity(reinterpret_cast<TOKEN_USER*>(record.data())->User.Sid, nullptr);
}

bool IsWellKnown(const CallerIdentity& identity, WELL_KNOWN_SID_TYPE type) {
  const CallerIdentity::Native& native = identity.GetNative();
  return !native.sid.empty() && ::IsWellKnownSid(native.Sid(), type);
}

// Administrators as the token lists them: a group that a restricted (not elevated)
// token holds for denying only does not count.
bool IsAdministrator(const CallerIdentity& identity) {
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) return false;
  HANDLE token = ImpersonationTokenOf(identity);
  // The service's own identity has no token of its own: its process token stands for it.
  if (token == nullptr && !(identity == ServiceIdentity())) return false;
  BOOL member = FALSE;
  return ::CheckTokenMembership(token, administrators, &member) && member;
}

}  // namespace

int IdentityOfToken(HANDLE token, std::optional<CallerIdentity>* identity) {
  std::vector<unsigned char> record;
  if (const int error = ReadTokenUser(token, &record)) {
    ::CloseHandle(token);
    return error;
  }
  *identity = MakeIdentity(reinterpret_cast<TOKEN_USER*>(record.data())->User.Sid, token);
  return 0;
}

std::optional<CallerIdentity> IdentityOfSidText(const std::string& sidText) {
  PSID sid = nullptr;
  if (!::ConvertStringSidToSidW(Utf8ToWide(sidText).c_str(), &sid)) return std::nullopt;
  CallerIdentity identity = MakeIdentity(sid, nullptr);
  ::LocalFree(sid);
  return identity;
}

bool operator==(const CallerIdentity& left, const CallerIdentity& right) {
  return left.GetNative().sid == right.GetNative().sid;
}

CallerIdentity ServiceIdentity() {
  static const CallerIdentity service = IdentityOfOwnProcess();
  return service;
}

bool IsPrivileged(const CallerIdentity& identity) {
  return IsWellKnown(identity, WinLocalSystemSid) || IsAdministrator(identity);
}

std::string IdentityText(const CallerIdentity& identity) {
  const CallerIdentity::Native& native = identity.GetNative();
  if (native.sid.empty()) return "unknown";
  wchar_t name[512];
  wchar_t domain[512];
  DWORD nameLength = 512;
  DWORD domainLength = 512;
  SID_NAME_USE use;
  if (!::LookupAccountSidW(nullptr, native.Sid(), name, &nameLength, domain, &domainLength, &use)) {
    return native.sidText;
  }
  const std::wstring account = domainLength == 0 ? std::wstring(name) : std::wstring(domain) + L"\\" + name;
  return WideToUtf8(account);
}

// A caller's token names an account of the machine or its domain.
bool HasAccount(const CallerIdentity& identity) { return !identity.GetNative().sid.empty(); }

}  // namespace platform
