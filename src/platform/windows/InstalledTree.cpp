#include "platform/Programs.h"
#include "platform/ServiceHost.h"

#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>

#include "platform/ProcessInfo.h"
#include "platform/windows/ChildJob.h"
#include "platform/windows/OwnerOnlySecurity.h"
#include "platform/windows/Win32Error.h"
#include "platform/windows/WideText.h"

namespace platform {
namespace {

// Users read and execute what clients and the children read (programs, libraries,
// templates, portused.txt) and may look into the root itself; they write nothing
// anywhere in the tree.
constexpr wchar_t kUsersReadAndExecute[] = L"(A;OICI;FRFX;;;BU)";
constexpr wchar_t kUsersListOnly[] = L"(A;;FRFX;;;BU)";

struct TreeFolder {
  const wchar_t* name;        // below the root; empty: the root itself
  const wchar_t* usersEntry;  // what Users get there
  bool ownerSystem;
};

// The root first: what it hands down reaches every file of the tree the installer left,
// then each folder gets its own.
constexpr TreeFolder kFolders[] = {
    {L"", kUsersListOnly, false}, {L"bin", kUsersReadAndExecute, false}, {L"conf", kUsersReadAndExecute, false},
    {L"logs", L"", false},        {L"log", L"", false},                   {L"run", L"", true},
};

// Sets the protected access list (and owner) of a folder by name: the system hands its
// inheritable entries down to what the folder already holds. A link in the folder's
// place is refused rather than followed.
int ProtectFolder(const std::wstring& path, const TreeFolder& folder) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    // Folders the service makes itself (run, the log folders) may not exist yet.
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : static_cast<int>(error);
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return ERROR_DIRECTORY;
  }
  const OwnerOnlySecurity security(OwnerOnlySecurity::kDirectory, folder.usersEntry, folder.ownerSystem);
  if (security.Error() != 0) return security.Error();
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  PSID owner = nullptr;
  ::GetSecurityDescriptorDacl(security.Descriptor(), &present, &dacl, &defaulted);
  ::GetSecurityDescriptorOwner(security.Descriptor(), &owner, &defaulted);
  SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
  if (folder.ownerSystem) what |= OWNER_SECURITY_INFORMATION;
  std::wstring name = path;
  return static_cast<int>(::SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT, what, folder.ownerSystem ? owner : nullptr,
                                                  nullptr, dacl, nullptr));
}

}  // namespace

Error ProtectInstalledTree(const std::string& root) {
  std::wstring wideRoot;
  if (!Utf8PathToWide(root, &wideRoot) || wideRoot.empty()) return Win32Error(ERROR_INVALID_NAME, "installed tree");
  for (const TreeFolder& folder : kFolders) {
    const std::wstring path = *folder.name == L'\0' ? wideRoot : wideRoot + L"\\" + folder.name;
    const int error = ProtectFolder(path, folder);
    if (error != 0) return Win32Error(static_cast<DWORD>(error), "SetNamedSecurityInfoW");
  }
  return Error::Success();
}

std::string PrepareChildPrograms() {
  const std::string name = OpenVpnProgram().exitRequest.eventName;
  std::string squatter;
  const int error = PrepareExitEvent(name, &squatter);
  if (error == 0) return std::string();
  if (!squatter.empty()) {
    return "The exit event " + name + " was created by " + squatter +
           " before the service: OpenVPN cannot be started or stopped until it is gone";
  }
  return "Cannot create the exit event " + name + ": " + ErrorText(error) + " (" + std::to_string(error) + ")";
}

}  // namespace platform
