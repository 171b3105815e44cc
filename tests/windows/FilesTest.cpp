// Files read and written on a caller's behalf, and the service's owner-only files.
// Wine grants every access, so refusals by the system's access checks are not shown
// here; what the service decides itself is.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "WindowsTestSupport.h"
#include "platform/Files.h"
#include "platform/windows/NativeIdentity.h"
#include "platform/windows/OwnerOnlySecurity.h"
#include "platform/windows/TcpOwnerTable.h"

namespace vortan {
namespace {

using platform::FileAccess;

void WriteBytes(const std::wstring& path, const std::string& content) {
  std::ofstream file(std::filesystem::path(path), std::ios::binary);
  file << content;
}

std::string ReadBytes(const std::wstring& path) {
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool ThreadImpersonates() {
  HANDLE token = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
  ::CloseHandle(token);
  return true;
}

struct AccessList {
  bool read = false;
  bool isProtected = false;
  bool onlySystemAndAdministrators = false;
  bool inheritedByChildren = false;
  DWORD entries = 0;
};

bool IsWellKnownTrustee(PSID sid) {
  return ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

AccessList AccessListOf(PSECURITY_DESCRIPTOR descriptor) {
  AccessList result;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr) {
    return result;
  }
  result.read = true;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ::GetSecurityDescriptorControl(descriptor, &control, &revision);
  result.isProtected = (control & SE_DACL_PROTECTED) != 0;
  bool system = false, administrators = false, others = false, inherited = true;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    ::GetAce(dacl, i, &entry);
    const auto* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERITED_ACE) != 0) {
      others = true;
      continue;
    }
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if (!IsWellKnownTrustee(sid) || (allowed->Mask & FILE_ALL_ACCESS) != FILE_ALL_ACCESS) others = true;
    system = system || ::IsWellKnownSid(sid, WinLocalSystemSid);
    administrators = administrators || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
    const BYTE toChildren = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    inherited = inherited && (header->AceFlags & toChildren) == toChildren;
  }
  result.entries = dacl->AceCount;
  result.onlySystemAndAdministrators = system && administrators && !others;
  result.inheritedByChildren = result.entries > 0 && inherited;
  return result;
}

AccessList ReadAccessList(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
    return AccessList();
  }
  const AccessList result = AccessListOf(descriptor);
  ::LocalFree(descriptor);
  return result;
}

// Wine keeps no access list on a file: it shows one made from the Unix permissions.
bool SystemKeepsFileAccessLists(const test::ScratchDirectory& scratch) {
  const std::wstring probe = scratch.WidePath(L"access-list-probe");
  WriteBytes(probe, "");
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)", SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
    return false;
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  const DWORD set = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(probe.c_str()), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, dacl, nullptr);
  ::LocalFree(descriptor);
  return set == ERROR_SUCCESS && ReadAccessList(probe).isProtected;
}

TEST(WindowsFiles, OwnerOnlyDescriptorsGrantSystemAndAdministratorsOnly) {
  for (auto kind : {platform::OwnerOnlySecurity::kFile, platform::OwnerOnlySecurity::kDirectory}) {
    const platform::OwnerOnlySecurity security(kind);
    ASSERT_EQ(security.Error(), 0);
    const AccessList list = AccessListOf(security.Descriptor());
    ASSERT_TRUE(list.read) << kind;
    EXPECT_TRUE(list.isProtected) << kind;
    EXPECT_EQ(list.entries, 2u) << kind;
    EXPECT_TRUE(list.onlySystemAndAdministrators) << kind;
    EXPECT_EQ(list.inheritedByChildren, kind == platform::OwnerOnlySecurity::kDirectory) << kind;
  }
}

// A file written for a client grants that client too (its next start rewrites it); the
// service's private copies stay SYSTEM's and Administrators'.
TEST(WindowsFiles, OwnerOnlyFilesWrittenForAClientGrantThatClient) {
  const std::string client = "S-1-5-21-1000-2000-3000-1001";
  const struct {
    platform::CallerIdentity writer;
    DWORD entries;
  } rows[] = {{platform::ServiceIdentity(), 2}, {*platform::IdentityOfSidText(client), 3}};
  for (const auto& row : rows) {
    const platform::OwnerOnlySecurity security(platform::OwnerOnlySecurity::kFile,
                                               platform::OwnerOnlyEntriesForWriter(row.writer));
    ASSERT_EQ(security.Error(), 0);
    const AccessList list = AccessListOf(security.Descriptor());
    EXPECT_TRUE(list.isProtected);
    ASSERT_EQ(list.entries, row.entries);
    if (row.entries == 2) continue;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(security.Descriptor(), &present, &dacl, &defaulted);
    void* entry = nullptr;
    ASSERT_TRUE(::GetAce(dacl, 2, &entry));
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    EXPECT_TRUE(::EqualSid(const_cast<DWORD*>(&allowed->SidStart), row.writer.GetNative().Sid()));
    EXPECT_EQ(allowed->Mask & FILE_ALL_ACCESS, static_cast<DWORD>(FILE_ALL_ACCESS));
  }
}

TEST(WindowsFiles, OwnerOnlyFilesGrantSystemAndAdministratorsOnlyAlsoWhenReplacing) {
  test::ScratchDirectory scratch;
  const bool checkAccessLists = SystemKeepsFileAccessLists(scratch);
  const std::wstring fresh = scratch.WidePath(L"fresh.conf");
  ASSERT_EQ(
      platform::WriteFileAs(platform::ServiceIdentity(), scratch.Path(L"fresh.conf"), "new", FileAccess::kOwnerOnly).Code(),
      0);
  // An existing file with the access list it inherited is narrowed and truncated.
  const std::wstring replaced = scratch.WidePath(L"replaced.conf");
  WriteBytes(replaced, "an older and longer content");
  ASSERT_EQ(platform::WriteFileAs(platform::ServiceIdentity(), scratch.Path(L"replaced.conf"), "short",
                                  FileAccess::kOwnerOnly).Code(),
            0);
  EXPECT_EQ(ReadBytes(fresh), "new");
  EXPECT_EQ(ReadBytes(replaced), "short");
  if (!checkAccessLists) GTEST_SKIP() << "this system keeps no access list on files (Wine)";
  for (const std::wstring& path : {fresh, replaced}) {
    const AccessList list = ReadAccessList(path);
    ASSERT_TRUE(list.read);
    EXPECT_TRUE(list.isProtected);
    EXPECT_EQ(list.entries, 2u);
    EXPECT_TRUE(list.onlySystemAndAdministrators);
  }
}

TEST(WindowsFiles, DefaultFilesKeepWhatTheyInherit) {
  test::ScratchDirectory scratch;
  ASSERT_EQ(platform::WriteFileAs(test::OwnProcessUser(), scratch.Path(L"client.ovpn"), "x", FileAccess::kDefault).Code(), 0);
  EXPECT_FALSE(ReadAccessList(scratch.WidePath(L"client.ovpn")).isProtected);
  EXPECT_FALSE(ThreadImpersonates());
}

TEST(WindowsFiles, OwnerOnlyDirectoriesAreNewOrNarrowedAndHandTheirListDown) {
  test::ScratchDirectory scratch;
  const bool checkAccessLists = SystemKeepsFileAccessLists(scratch);
  const std::string fresh = scratch.Path(L"private");
  ASSERT_EQ(platform::MakeOwnerOnlyDirectory(fresh).Code(), 0);
  const std::wstring existing = scratch.WidePath(L"existing");
  ASSERT_TRUE(::CreateDirectoryW(existing.c_str(), nullptr));
  ASSERT_EQ(platform::MakeOwnerOnlyDirectory(scratch.Path(L"existing")).Code(), 0);
  if (!checkAccessLists) GTEST_SKIP() << "this system keeps no access list on files (Wine)";
  for (const std::wstring& path : {scratch.WidePath(L"private"), existing}) {
    const AccessList list = ReadAccessList(path);
    ASSERT_TRUE(list.read);
    EXPECT_TRUE(list.isProtected);
    EXPECT_TRUE(list.onlySystemAndAdministrators);
    EXPECT_TRUE(list.inheritedByChildren);
  }
}

}  // namespace
}  // namespace vortan
