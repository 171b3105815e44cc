#include "platform/ProcessInfo.h"

#include <winsock2.h>
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <vector>

#include "platform/windows/Win32Error.h"
#include "platform/windows/WideText.h"

namespace platform {
namespace {

std::wstring Wide(const std::string& path) { return Utf8ToWide(path); }

std::wstring ModulePath() {
  // No fixed limit: grow the buffer until the path fits (a full buffer may be cut).
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::wstring();
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

// The fixed file version of the module's version resource; false when it has none.
bool FixedFileVersion(const std::wstring& module, VS_FIXEDFILEINFO* version) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(module.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<unsigned char> data(size);
  if (!::GetFileVersionInfoW(module.c_str(), 0, size, data.data())) return false;
  void* fixed = nullptr;
  UINT fixedSize = 0;
  if (!::VerQueryValueW(data.data(), L"\\", &fixed, &fixedSize) || fixed == nullptr ||
      fixedSize < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  *version = *static_cast<const VS_FIXEDFILEINFO*>(fixed);
  return true;
}

}  // namespace

std::string ExecutablePath() { return WideToUtf8(ModulePath()); }

// The system keeps the command line as one text; argc and argv are its C run-time split.
std::string CommandLine(int, char**) {
  const wchar_t* line = ::GetCommandLineW();
  return line != nullptr ? WideToUtf8(line) : std::string();
}

std::string VersionText() {
  VS_FIXEDFILEINFO version{};
  if (!FixedFileVersion(ModulePath(), &version)) return std::string();
  char text[64];
  std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", static_cast<unsigned long>(HIWORD(version.dwFileVersionMS)),
                static_cast<unsigned long>(LOWORD(version.dwFileVersionMS)),
                static_cast<unsigned long>(HIWORD(version.dwFileVersionLS)),
                static_cast<unsigned long>(LOWORD(version.dwFileVersionLS)));
  return text;
}

std::uint32_t CurrentProcessId() { return ::GetCurrentProcessId(); }

std::uint64_t CurrentThreadId() { return ::GetCurrentThreadId(); }

bool PathExists(const std::string& path) { return ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

Error RenameFile(const std::string& from, const std::string& to) {
  if (::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return Error::Success();
  return LastWin32Error("MoveFileExW");
}

Error RemoveFile(const std::string& path) {
  if (::DeleteFileW(Wide(path).c_str())) return Error::Success();
  return LastWin32Error("DeleteFileW");
}

std::string ErrorText(NativeErrorCode code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) return "error " + std::to_string(code);
  std::wstring text(buffer, length);
  ::LocalFree(buffer);
  // The system's texts end with a line break (and often a full stop before it).
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                           text.back() == L'.')) {
    text.pop_back();
  }
  return WideToUtf8(text);
}

}  // namespace platform

namespace platform {

Error MakePrivateDirectory(const std::string& path) {
  // Full control for the local system account and the administrators, inherited by
  // everything created inside; nothing inherited from the parent.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                              SDDL_REVISION_1, &descriptor, nullptr)) {
    return LastWin32Error("ConvertStringSecurityDescriptorToSecurityDescriptorW");
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  const BOOL created = ::CreateDirectoryW(Wide(path).c_str(), &attributes);
  const DWORD error = created ? ERROR_SUCCESS : ::GetLastError();
  ::LocalFree(descriptor);
  if (error == ERROR_SUCCESS || error == ERROR_ALREADY_EXISTS) return Error::Success();
  return Win32Error(error, "CreateDirectoryW");
}

bool FileSize(const std::string& path, std::uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return false;
  *size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

}  // namespace platform

namespace platform {
namespace {

// Writes the whole buffer; 0 or the error code.
DWORD WriteAll(HANDLE file, const char* data, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(file, data, chunk, &written, nullptr)) return ::GetLastError();
    data += written;
    size -= written;
  }
  return ERROR_SUCCESS;
}

}  // namespace

Error WritePublicFile(const std::string& path, const std::string& bytes, bool* opened) {
  *opened = false;
  // The file takes the permissions its folder hands down, which let local users read
  // it; the handle is not inherited by children (null security attributes).
  HANDLE file = ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastWin32Error("CreateFileW");
  *opened = true;
  const DWORD error = WriteAll(file, bytes.data(), bytes.size());
  if (error != ERROR_SUCCESS) {
    ::CloseHandle(file);
    return Win32Error(error, "WriteFile");
  }
  return ::CloseHandle(file) ? Error::Success() : LastWin32Error("CloseHandle");
}

}  // namespace platform
