#include "platform/Crash.h"

#include <winsock2.h>
#include <windows.h>
#include <dbghelp.h>
#include <pthread.h>

#include "platform/windows/OwnerOnlySecurity.h"
#include "platform/windows/Win32Error.h"
#include "platform/windows/WideText.h"

namespace platform {
namespace {

CrashCallback crashCallback = nullptr;
OwnerOnlySecurity* dumpSecurity = nullptr;

// FILETIME counts 100 ns intervals since 1601-01-01; Unix time starts 11644473600 s later.
constexpr std::uint64_t kUnixEpochIn100ns = 116444736000000000ULL;

HANDLE Native(std::intptr_t file) { return reinterpret_cast<HANDLE>(file); }

// The native part of a CrashContext here is the fault's EXCEPTION_POINTERS.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  const CrashContext context{static_cast<std::uint32_t>(record->ExceptionCode),
                             reinterpret_cast<std::uintptr_t>(record->ExceptionAddress), pointers};
  if (crashCallback != nullptr) crashCallback(context);
  // Ends the process with the exception code as its exit code.
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void InstallCrashHandlers(CrashCallback callback) {
  crashCallback = callback;
  // Made ahead: the dump holds key bytes and is created when the heap may be broken.
  if (dumpSecurity == nullptr) dumpSecurity = new OwnerOnlySecurity(OwnerOnlySecurity::kFile);
  ::SetUnhandledExceptionFilter(OnUnhandledException);
}

// The dump holds stacks with key bytes: readable by SYSTEM and Administrators only. A
// new file gets that at its creation (an older one, or a link put in its place, is
// removed first, and nothing at the path is followed).
std::intptr_t CreateDumpFile(const std::string& path, Error* error) {
  const std::wstring widePath = Utf8ToWide(path);
  ::DeleteFileW(widePath.c_str());
  SECURITY_ATTRIBUTES* security =
      dumpSecurity != nullptr && dumpSecurity->Error() == 0 ? dumpSecurity->Attributes() : nullptr;
  HANDLE file = ::CreateFileW(widePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, security, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = LastWin32Error("CreateFileW");
    return -1;
  }
  return reinterpret_cast<std::intptr_t>(file);
}

// A minidump of the whole process; with a fault, the faulting thread's context is the
// dump's exception record.
Error WriteDump(std::intptr_t file, const CrashContext& context) {
  MINIDUMP_EXCEPTION_INFORMATION exception{};
  exception.ThreadId = ::GetCurrentThreadId();
  exception.ExceptionPointers = static_cast<EXCEPTION_POINTERS*>(const_cast<void*>(context.native));
  exception.ClientPointers = FALSE;
  if (!::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), Native(file), MiniDumpNormal,
                           context.native != nullptr ? &exception : nullptr, nullptr, nullptr)) {
    return LastWin32Error("MiniDumpWriteDump");
  }
  return ::FlushFileBuffers(Native(file)) ? Error::Success() : LastWin32Error("FlushFileBuffers");
}

void CloseDumpFile(std::intptr_t file) { ::CloseHandle(Native(file)); }

void CurrentTime(std::int64_t* seconds, std::int32_t* microseconds) {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  const std::uint64_t sinceUnixEpoch = ticks - kUnixEpochIn100ns;
  *seconds = static_cast<std::int64_t>(sinceUnixEpoch / 10000000);
  *microseconds = static_cast<std::int32_t>((sinceUnixEpoch % 10000000) / 10);
}

// The standard library's thread identifiers are winpthreads' thread numbers. A thread
// that has called it once (every thread that logged) reads it from its own slot.
std::uint64_t CurrentThreadNumber() { return static_cast<std::uint64_t>(pthread_self()); }

// The path is UTF-8; converted into a buffer on the stack, since the heap may be what
// the fault broke.
std::intptr_t OpenForAppend(const char* path) {
  wchar_t widePath[2 * MAX_PATH];
  if (::MultiByteToWideChar(CP_UTF8, 0, path, -1, widePath, sizeof widePath / sizeof widePath[0]) == 0) return -1;
  HANDLE file = ::CreateFileW(widePath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(file);
}

// A write to a pipe that nobody reads blocks; it runs on a thread of its own here so
// that the wait can be bounded. Files and consoles are written directly.
namespace {

struct PendingWrite {
  HANDLE file;
  const char* data;
  DWORD size;
  DWORD written;
  BOOL succeeded;
};

DWORD WINAPI WriteOnThread(void* parameter) {
  PendingWrite* write = static_cast<PendingWrite*>(parameter);
  write->succeeded = ::WriteFile(write->file, write->data, write->size, &write->written, nullptr);
  return 0;
}

bool WriteDirectly(HANDLE file, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    if (!::WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace

bool WriteWithin(std::intptr_t file, const char* data, std::size_t size, int waitMs) {
  HANDLE handle = Native(file);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  if (waitMs <= 0 || ::GetFileType(handle) != FILE_TYPE_PIPE) return WriteDirectly(handle, data, size);
  // The record stays in use by a writer whose wait ran out: after that, the pipe is not
  // tried again.
  static PendingWrite pending;
  static bool writerStuck = false;
  if (writerStuck) return false;
  pending = PendingWrite{handle, data, static_cast<DWORD>(size), 0, FALSE};
  HANDLE writer = ::CreateThread(nullptr, 0, WriteOnThread, &pending, 0, nullptr);
  if (writer == nullptr) return false;
  const bool finished = ::WaitForSingleObject(writer, static_cast<DWORD>(waitMs)) == WAIT_OBJECT_0;
  ::CloseHandle(writer);
  writerStuck = !finished;
  return finished && pending.succeeded && pending.written == size;
}

void CloseFile(std::intptr_t file) { ::CloseHandle(Native(file)); }

std::intptr_t StandardOutput() { return reinterpret_cast<std::intptr_t>(::GetStdHandle(STD_OUTPUT_HANDLE)); }

long LocalUtcOffset() {
  TIME_ZONE_INFORMATION zone{};
  const DWORD which = ::GetTimeZoneInformation(&zone);
  LONG bias = zone.Bias;  // minutes to add to local time for UTC
  if (which == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  if (which == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
  return -static_cast<long>(bias) * 60;
}

}  // namespace platform
