// Files read and written on a caller's behalf, and the service's owner-only files.
// Wine grants every access, so refusals by the system's access checks are not shown
// here; what the service decides itself is.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>

#include <optional>
#include <string>

#include "TestCommon.h"
#include "WindowsTestSupport.h"
#include "platform/Files.h"
#include "platform/windows/NativeIdentity.h"
#include "platform/windows/OwnerOnlySecurity.h"

namespace vortan {
namespace {

using platform::FileAccess;

using test::ReadFile;
using test::WriteFile;

struct AccessList {
  bool read = false;
  bool isProtected = false;
  bool onlySystemAndAdministrators = false;
  bool inheritedByChildren = false;
  DWORD entries = 0;
};

// The descriptor's access list; null when it has none.
PACL DaclOf(PSECURITY_DESCRIPTOR descriptor) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  return ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present ? dacl : nullptr;
}

AccessList AccessListOf(PSECURITY_DESCRIPTOR descriptor) {
  AccessList result;
  const PACL dacl = DaclOf(descriptor);
  if (dacl == nullptr) return result;
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
    const bool isSystem = ::IsWellKnownSid(sid, WinLocalSystemSid);
    const bool isAdministrators = ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
    const bool fullAccess = (allowed->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS;
    if (!(isSystem || isAdministrators) || !fullAccess) others = true;
    system = system || isSystem;
    administrators = administrators || isAdministrators;
    const BYTE toChildren = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    inherited = inherited && (header->AceFlags & toChildren) == toChildren;
  }
  result.entries = dacl->AceCount;
  result.onlySystemAndAdministrators = system && administrators && !others;
  result.inheritedByChildren = result.entries > 0 && inherited;
  return result;
}

AccessList ReadAccessList(const std::string& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoW(platform::Utf8ToWide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return AccessList();
  }
  const AccessList result = AccessListOf(descriptor);
  ::LocalFree(descriptor);
  return result;
}

// Wine keeps no access list on a file: it shows one made from the Unix permissions.
bool SystemKeepsFileAccessLists(const test::ScratchDirectory& scratch) {
  const std::string probe = scratch.Path(L"access-list-probe");
  WriteFile(probe, "");
  const platform::OwnerOnlySecurity security(platform::OwnerOnlySecurity::kFile);
  std::wstring widePath = platform::Utf8ToWide(probe);
  const DWORD set = ::SetNamedSecurityInfoW(&widePath[0], SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, DaclOf(security.Descriptor()), nullptr);
  return set == ERROR_SUCCESS && ReadAccessList(probe).isProtected;
}

// Owner-only descriptors grant SYSTEM and Administrators alone (handed down in a
// directory). A file written for a client grants that client too (its next start
// rewrites it); the service's private copies stay SYSTEM's and Administrators'.
TEST(WindowsFiles, OwnerOnlyDescriptorsGrantSystemAndAdministratorsAndTheClientWrittenFor) {
  using Security = platform::OwnerOnlySecurity;
  const auto client = platform::IdentityOfSidText("S-1-5-21-1000-2000-3000-1001");
  const struct {
    const char* name;
    Security::Kind kind;
    std::optional<platform::CallerIdentity> writer;  // none: no entries beyond the two
    DWORD entries;
  } rows[] = {
      {"file", Security::kFile, std::nullopt, 2},
      {"directory", Security::kDirectory, std::nullopt, 2},
      {"directory the service makes for itself", Security::kDirectory, platform::ServiceIdentity(), 2},
      {"file the service writes for itself", Security::kFile, platform::ServiceIdentity(), 2},
      {"file written for a client", Security::kFile, client, 3},
  };
  for (const auto& row : rows) {
    const Security security(row.kind, row.writer ? platform::OwnerOnlyEntriesForWriter(*row.writer) : L"");
    ASSERT_EQ(security.Error(), 0) << row.name;
    const AccessList list = AccessListOf(security.Descriptor());
    ASSERT_TRUE(list.read) << row.name;
    EXPECT_TRUE(list.isProtected) << row.name;
    ASSERT_EQ(list.entries, row.entries) << row.name;
    EXPECT_EQ(list.onlySystemAndAdministrators, row.entries == 2) << row.name;
    EXPECT_EQ(list.inheritedByChildren, row.kind == Security::kDirectory) << row.name;
    if (row.entries == 2) continue;
    void* entry = nullptr;
    ASSERT_TRUE(::GetAce(DaclOf(security.Descriptor()), 2, &entry));
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    EXPECT_TRUE(::EqualSid(const_cast<DWORD*>(&allowed->SidStart), row.writer->GetNative().Sid()));
    EXPECT_EQ(allowed->Mask & FILE_ALL_ACCESS, static_cast<DWORD>(FILE_ALL_ACCESS));
  }
}

TEST(WindowsFiles, OwnerOnlyFilesGrantSystemAndAdministratorsOnlyAlsoWhenReplacing) {
  test::ScratchDirectory scratch;
  const bool checkAccessLists = SystemKeepsFileAccessLists(scratch);
  const std::string fresh = scratch.Path(L"fresh.conf");
  const platform::CallerIdentity service = platform::ServiceIdentity();
  ASSERT_EQ(platform::WriteFileAs(service, fresh, "new", FileAccess::kOwnerOnly).Code(), 0);
  // An existing file with the access list it inherited is narrowed and truncated.
  const std::string replaced = scratch.Path(L"replaced.conf");
  WriteFile(replaced, "an older and longer content");
  ASSERT_EQ(platform::WriteFileAs(service, replaced, "short", FileAccess::kOwnerOnly).Code(), 0);
  EXPECT_EQ(ReadFile(fresh), "new");
  EXPECT_EQ(ReadFile(replaced), "short");
  if (!checkAccessLists) GTEST_SKIP() << "this system keeps no access list on files (Wine)";
  for (const std::string& path : {fresh, replaced}) {
    const AccessList list = ReadAccessList(path);
    ASSERT_TRUE(list.read);
    EXPECT_TRUE(list.isProtected);
    EXPECT_EQ(list.entries, 2u);
    EXPECT_TRUE(list.onlySystemAndAdministrators);
  }
}

TEST(WindowsFiles, DefaultFilesKeepWhatTheyInherit) {
  test::ScratchDirectory scratch;
  const std::string client = scratch.Path(L"client.ovpn");
  ASSERT_EQ(platform::WriteFileAs(test::OwnProcessUser(), client, "x", FileAccess::kDefault).Code(), 0);
  EXPECT_FALSE(ReadAccessList(client).isProtected);
}

TEST(WindowsFiles, OwnerOnlyDirectoriesAreNewOrNarrowedAndHandTheirListDown) {
  test::ScratchDirectory scratch;
  const bool checkAccessLists = SystemKeepsFileAccessLists(scratch);
  const std::string fresh = scratch.Path(L"private");
  ASSERT_EQ(platform::MakeOwnerOnlyDirectory(fresh).Code(), 0);
  const std::string existing = scratch.Path(L"existing");
  ASSERT_TRUE(::CreateDirectoryW(scratch.WidePath(L"existing").c_str(), nullptr));
  ASSERT_EQ(platform::MakeOwnerOnlyDirectory(existing).Code(), 0);
  if (!checkAccessLists) GTEST_SKIP() << "this system keeps no access list on files (Wine)";
  for (const std::string& path : {fresh, existing}) {
    const AccessList list = ReadAccessList(path);
    ASSERT_TRUE(list.read);
    EXPECT_TRUE(list.isProtected);
    EXPECT_TRUE(list.onlySystemAndAdministrators);
    EXPECT_TRUE(list.inheritedByChildren);
  }
}

}  // namespace
}  // namespace vortan
