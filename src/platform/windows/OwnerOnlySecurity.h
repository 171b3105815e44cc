#pragma once

#include <winsock2.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

// The security of the service's owner-only files and directories: full control for
// LocalSystem and Administrators and nobody else, protected ("P") so that no entry of
// the parent is inherited. A directory hands its entries down to what is created in it.
namespace platform {

class OwnerOnlySecurity {
 public:
  enum Kind { kFile, kDirectory };

  explicit OwnerOnlySecurity(Kind kind) {
    const wchar_t* sddl = kind == kFile ? L"D:P(A;;FA;;;SY)(A;;FA;;;BA)" : L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor_, nullptr)) {
      error_ = static_cast<int>(::GetLastError());
    }
  }
  ~OwnerOnlySecurity() {
    if (descriptor_ != nullptr) ::LocalFree(descriptor_);
  }
  OwnerOnlySecurity(const OwnerOnlySecurity&) = delete;
  OwnerOnlySecurity& operator=(const OwnerOnlySecurity&) = delete;

  // 0, or the Win32 code when the descriptor could not be made.
  int Error() const { return error_; }
  PSECURITY_DESCRIPTOR Descriptor() const { return descriptor_; }

  // For creating an object with this security from the start.
  SECURITY_ATTRIBUTES* Attributes() {
    attributes_ = {sizeof attributes_, descriptor_, FALSE};
    return &attributes_;
  }

  // Makes this access list the only one of an open file or directory (opened with
  // WRITE_DAC); 0 or the Win32 code.
  int ApplyTo(HANDLE handle) const {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor_, &present, &dacl, &defaulted)) {
      return static_cast<int>(::GetLastError());
    }
    return static_cast<int>(::SetSecurityInfo(handle, SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                              nullptr, dacl, nullptr));
  }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
  int error_ = 0;
};

}  // namespace platform
