#include "platform/Files.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "platform/windows/NativeIdentity.h"
#include "platform/windows/OwnerOnlySecurity.h"
#include "platform/windows/Win32Error.h"
#include "platform/windows/WideText.h"

namespace platform {
namespace {

// Refusals of what is not a regular file, and of a file above the size bound.
constexpr DWORD kNotRegularFile = ERROR_INVALID_PARAMETER;
constexpr DWORD kTooBig = ERROR_FILE_TOO_LARGE;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int LastCode() { return static_cast<int>(::GetLastError()); }

// Closes the handle when it goes out of scope.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (Valid()) ::CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  HANDLE Get() const { return handle_; }
  HANDLE Release() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Closes now, so that a failed close can be reported.
  int Close() {
    const BOOL closed = ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return closed ? 0 : LastCode();
  }

 private:
  HANDLE handle_;
};

// While alive, the calling thread acts with the rights of the identity's token; its own
// rights come back on destruction. Other threads are not affected. The service's own
// identity needs no token; any other identity without one is refused rather than
// served with the service's rights.
class ScopedImpersonation {
 public:
  explicit ScopedImpersonation(const CallerIdentity& identity) {
    HANDLE token = ImpersonationTokenOf(identity);
    if (token == nullptr) {
      if (!(identity == ServiceIdentity())) error_ = ERROR_ACCESS_DENIED;
      return;
    }
    if (!::ImpersonateLoggedOnUser(token)) {
      error_ = LastCode();
      return;
    }
    impersonating_ = true;
  }
  ~ScopedImpersonation() {
    // A thread that kept the caller's token would do the service's later work, its
    // private copies included, as that caller: the process must not go on.
    if (impersonating_ && !::RevertToSelf()) std::abort();
  }
  ScopedImpersonation(const ScopedImpersonation&) = delete;
  ScopedImpersonation& operator=(const ScopedImpersonation&) = delete;

  // 0 when the identity is in force, else the Win32 code of the failed step.
  int Error() const { return error_; }

 private:
  bool impersonating_ = false;
  int error_ = 0;
};

template <typename FileCall>
int AsUser(const CallerIdentity& identity, FileCall call) {
  ScopedImpersonation scoped(identity);
  if (scoped.Error() != 0) return scoped.Error();
  return call();
}

bool HasAttribute(const BY_HANDLE_FILE_INFORMATION& information, DWORD attribute) {
  return (information.dwFileAttributes & attribute) != 0;
}

// A directory without backup semantics does not open at all: told apart from a file
// the caller may not read, it is refused as no regular file.
int OpenFailure(const std::wstring& path) {
  const int error = LastCode();
  if (error != ERROR_ACCESS_DENIED) return error;
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  const bool directory = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return directory ? static_cast<int>(kNotRegularFile) : error;
}

// A name surrogate (symbolic link, junction, mount point) names another file; other
// reparse points (cloud placeholders, deduplicated files) are the file itself.
bool IsNameSurrogate(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) return true;
  return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(tag.ReparseTag);
}

// A regular file on a disk: no directory, no link, no pipe or device. *otherReparse
// tells of a reparse point that is no link: it is read through its own filter.
int RequireRegularFile(HANDLE handle, bool* otherReparse = nullptr) {
  if (::GetFileType(handle) != FILE_TYPE_DISK) return kNotRegularFile;
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(handle, &information)) return LastCode();
  if (HasAttribute(information, FILE_ATTRIBUTE_DIRECTORY)) return kNotRegularFile;
  if (HasAttribute(information, FILE_ATTRIBUTE_REPARSE_POINT)) {
    if (otherReparse == nullptr || IsNameSurrogate(handle)) return kNotRegularFile;
    *otherReparse = true;
  }
  return 0;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& one, HANDLE second) {
  BY_HANDLE_FILE_INFORMATION other{};
  return ::GetFileInformationByHandle(second, &other) && one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
         one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
}

// Opens path without following a link (a link there is refused as no regular file); a
// named pipe at the path gets to identify the caller, never to impersonate it. A reparse
// point that is no link is opened again through its filter (after the first handle is
// closed, which may share nothing), and kept only when that reached the same file.
int OpenRefusingLinks(const std::wstring& path, DWORD rights, DWORD share, SECURITY_ATTRIBUTES* security,
                      DWORD disposition, HANDLE* opened) {
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
  FileHandle first(::CreateFileW(path.c_str(), rights, share, security, disposition,
                                 flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!first.Valid()) return OpenFailure(path);
  bool otherReparse = false;
  if (const int error = RequireRegularFile(first.Get(), &otherReparse)) return error;
  if (!otherReparse) {
    *opened = first.Release();
    return 0;
  }
  BY_HANDLE_FILE_INFORMATION firstFile{};
  if (!::GetFileInformationByHandle(first.Get(), &firstFile)) return LastCode();
  first.Close();
  FileHandle second(::CreateFileW(path.c_str(), rights, share, nullptr, OPEN_EXISTING, flags, nullptr));
  if (!second.Valid()) return LastCode();
  if (!SameFile(firstFile, second.Get())) return kNotRegularFile;
  *opened = second.Release();
  return 0;
}

// Reads from handle until its end into *content; the too-big code once more than
// maxBytes arrived. Counted while reading: the file may grow after any size check.
int ReadToEnd(HANDLE handle, std::size_t maxBytes, std::string* content) {
  content->clear();
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(handle, buffer, sizeof buffer, &got, nullptr)) return LastCode();
    if (got == 0) return 0;
    if (got > maxBytes - content->size()) return kTooBig;
    content->append(buffer, got);
  }
}

int WriteAll(HANDLE handle, const std::string& content) {
  std::size_t written = 0;
  while (written < content.size()) {
    const std::size_t left = content.size() - written;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 30));
    DWORD done = 0;
    if (!::WriteFile(handle, content.data() + written, chunk, &done, nullptr)) return LastCode();
    written += done;
  }
  return 0;
}

int Truncate(HANDLE handle) {
  LARGE_INTEGER start{};
  if (!::SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) || !::SetEndOfFile(handle)) return LastCode();
  return 0;
}

HANDLE OpenForReading(const std::wstring& path, DWORD flags) {
  return ::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
}

int ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string* content) {
  std::wstring widePath;
  if (!Utf8PathToWide(path, &widePath)) return ERROR_NO_UNICODE_TRANSLATION;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (const int error = OpenRefusingLinks(widePath, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, &handle)) {
    return error;
  }
  FileHandle file(handle);
  return ReadToEnd(file.Get(), maxBytes, content);
}

// The file is opened without truncating it, so that nothing is lost before it is known
// to be a regular file; an owner-only file gets its access list before the first byte,
// a new one already at its creation. Written for a client, it grants that client too.
int WriteWithCurrentIdentity(const CallerIdentity& identity, const std::string& path, const std::string& content,
                             FileAccess access) {
  const bool ownerOnly = access == FileAccess::kOwnerOnly;
  OwnerOnlySecurity ownerOnlySecurity(OwnerOnlySecurity::kFile, OwnerOnlyEntriesForWriter(identity));
  if (ownerOnly && ownerOnlySecurity.Error() != 0) return ownerOnlySecurity.Error();
  std::wstring widePath;
  if (!Utf8PathToWide(path, &widePath)) return ERROR_NO_UNICODE_TRANSLATION;
  const DWORD rights = GENERIC_WRITE | (ownerOnly ? WRITE_DAC : 0);
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (const int error = OpenRefusingLinks(widePath, rights, 0, ownerOnly ? ownerOnlySecurity.Attributes() : nullptr,
                                          OPEN_ALWAYS, &handle)) {
    return error;
  }
  FileHandle file(handle);
  if (ownerOnly) {
    if (const int error = ownerOnlySecurity.ApplyTo(file.Get())) return error;
  }
  if (const int error = Truncate(file.Get())) return error;
  if (const int error = WriteAll(file.Get(), content)) return error;
  return file.Close();
}

// An existing directory is opened itself (a link there is not followed) and narrowed.
int RestrictExistingDirectory(const std::wstring& path, const OwnerOnlySecurity& security) {
  FileHandle directory(::CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!directory.Valid()) return LastCode();
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(directory.Get(), &information)) return LastCode();
  if (!HasAttribute(information, FILE_ATTRIBUTE_DIRECTORY) || HasAttribute(information, FILE_ATTRIBUTE_REPARSE_POINT)) {
    return ERROR_DIRECTORY;
  }
  return security.ApplyTo(directory.Get());
}

}  // namespace

std::wstring OwnerOnlyEntriesForWriter(const CallerIdentity& writer) {
  const std::string& sidText = writer.GetNative().sidText;
  if (writer == ServiceIdentity() || sidText.empty()) return std::wstring();
  return OwnerOnlySecurity::FullControlFor(Utf8ToWide(sidText));
}

bool CanOpenForReading(const std::string& path) {
  FileHandle file(OpenForReading(Utf8ToWide(path), FILE_ATTRIBUTE_NORMAL));
  return file.Valid();
}

Error ReadWholeFile(const std::string& path, std::string* content) {
  FileHandle file(OpenForReading(Utf8ToWide(path), FILE_ATTRIBUTE_NORMAL));
  if (!file.Valid()) return LastWin32Error("CreateFileW");
  return Win32Error(ReadToEnd(file.Get(), std::numeric_limits<std::size_t>::max(), content), "ReadFile");
}

Error ReadFileAs(const CallerIdentity& identity, const std::string& path, std::size_t maxBytes, std::string* content) {
  return Win32Error(AsUser(identity, [&] { return ReadRegularFile(path, maxBytes, content); }), "read file as user");
}

Error WriteFileAs(const CallerIdentity& identity, const std::string& path, const std::string& content,
                  FileAccess access) {
  return Win32Error(AsUser(identity, [&] { return WriteWithCurrentIdentity(identity, path, content, access); }),
                    "write file as user");
}

Error MakeOwnerOnlyDirectory(const std::string& path) {
  OwnerOnlySecurity security(OwnerOnlySecurity::kDirectory);
  if (security.Error() != 0) return Win32Error(security.Error(), "owner-only security");
  const std::wstring widePath = Utf8ToWide(path);
  if (::CreateDirectoryW(widePath.c_str(), security.Attributes())) return Error::Success();
  if (::GetLastError() != ERROR_ALREADY_EXISTS) return LastWin32Error("CreateDirectoryW");
  return Win32Error(RestrictExistingDirectory(widePath, security), "restrict directory");
}

}  // namespace platform
