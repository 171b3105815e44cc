#pragma once

#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "platform/CallerIdentity.h"

// The security of the service's owner-only files and directories: full control for
// LocalSystem and Administrators, protected ("P") so that no entry of the parent is
// inherited. A directory hands its entries down to what is created in it. A file
// written on a client's behalf also grants that client, by its SID: the client's next
// start rewrites the same file as the same client.
namespace platform {

class OwnerOnlySecurity {
 public:
  enum Kind { kFile, kDirectory };

  // extraEntries: further SDDL access entries after the two of SYSTEM and
  // Administrators; ownerSystem: the object's owner becomes LocalSystem too.
  explicit OwnerOnlySecurity(Kind kind, const std::wstring& extraEntries = std::wstring(), bool ownerSystem = false)
      : ownerSystem_(ownerSystem) {
    const std::wstring sddl = std::wstring(ownerSystem ? L"O:SY" : L"") +
                              (kind == kFile ? L"D:P(A;;FA;;;SY)(A;;FA;;;BA)" : L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)") +
                              extraEntries;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_,
                                                                nullptr)) {
      error_ = static_cast<int>(::GetLastError());
    }
  }
  ~OwnerOnlySecurity() {
    if (descriptor_ != nullptr) ::LocalFree(descriptor_);
  }
  OwnerOnlySecurity(const OwnerOnlySecurity&) = delete;
  OwnerOnlySecurity& operator=(const OwnerOnlySecurity&) = delete;

  // The entry that grants one user (its "S-1-..." text) full control of a file.
  static std::wstring FullControlFor(const std::wstring& sidText) { return L"(A;;FA;;;" + sidText + L")"; }

  // 0, or the Win32 code when the descriptor could not be made.
  int Error() const { return error_; }
  PSECURITY_DESCRIPTOR Descriptor() const { return descriptor_; }

  // For creating an object with this security from the start.
  SECURITY_ATTRIBUTES* Attributes() {
    attributes_ = {sizeof attributes_, descriptor_, FALSE};
    return &attributes_;
  }

  // Makes this access list (and owner, when it names one) the only one of an open file
  // or directory (opened with WRITE_DAC, and WRITE_OWNER for the owner); 0 or the
  // Win32 code.
  int ApplyTo(HANDLE handle) const {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor_, &present, &dacl, &defaulted) ||
        !::GetSecurityDescriptorOwner(descriptor_, &owner, &defaulted)) {
      return static_cast<int>(::GetLastError());
    }
    SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    if (ownerSystem_) what |= OWNER_SECURITY_INFORMATION;
    return static_cast<int>(
        ::SetSecurityInfo(handle, SE_FILE_OBJECT, what, ownerSystem_ ? owner : nullptr, nullptr, dacl, nullptr));
  }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
  bool ownerSystem_ = false;
  int error_ = 0;
};

// The entries an owner-only file gets beyond SYSTEM's and Administrators': none when the
// service writes it for itself, full control for the client it is written for.
std::wstring OwnerOnlyEntriesForWriter(const CallerIdentity& writer);

}  // namespace platform
