#include "platform/Crash.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/linux/Descriptors.h"
#include "platform/linux/ErrnoError.h"

namespace platform {
namespace {

CrashCallback crashCallback = nullptr;

// The native part of a CrashContext here: the fatal signal.
struct FatalSignal {
  int number;
};

int SignalNumberOf(const CrashContext& context) {
  return context.native != nullptr ? static_cast<const FatalSignal*>(context.native)->number : 0;
}

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// Maps a fatal signal to the nearest code of the service's exception table; signals
// without a counterpart keep their own number, which the table names "UNKNOWN".
std::uint32_t ExceptionCodeFor(int signalNumber, int signalCode) {
  switch (signalNumber) {
    case SIGSEGV:
    case SIGBUS:
      return 0xC0000005;  // access violation
    case SIGILL:
      return signalCode == ILL_PRVOPC || signalCode == ILL_PRVREG ? 0xC0000096 : 0xC000001D;
    case SIGFPE:
      switch (signalCode) {
        case FPE_INTDIV: return 0xC0000094;
        case FPE_INTOVF: return 0xC0000095;
        case FPE_FLTDIV: return 0xC000008E;
        case FPE_FLTOVF: return 0xC0000091;
        case FPE_FLTUND: return 0xC0000093;
        case FPE_FLTRES: return 0xC000008F;
        case FPE_FLTSUB: return 0xC000008C;
        default: return 0xC0000090;  // invalid floating-point operation
      }
    default:
      return static_cast<std::uint32_t>(signalNumber);
  }
}

void OnFatalSignal(int signalNumber, siginfo_t* info, void*) {
  const FatalSignal fatal{signalNumber};
  const CrashContext context{ExceptionCodeFor(signalNumber, info->si_code),
                             reinterpret_cast<std::uintptr_t>(info->si_addr), &fatal};
  if (crashCallback != nullptr) crashCallback(context);
  // End with the original fault so the exit status and any core dump stay truthful.
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

void WriteText(int fd, const char* text) { WriteWithin(fd, text, strlen(text), 0); }

// Digits of value in the given base, appended at *end (signal safe, unlike snprintf).
void AppendNumber(char** end, std::uint64_t value, unsigned base) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = "0123456789ABCDEF"[value % base];
    value /= base;
  } while (value != 0);
  while (count > 0) *(*end)++ = digits[--count];
}

void AppendText(char** end, const char* text) {
  while (*text != '\0') *(*end)++ = *text++;
}

}  // namespace

void InstallCrashHandlers(CrashCallback callback) {
  crashCallback = callback;
  // backtrace() loads its unwinder (and allocates) on first use: do that now, not in
  // the handler.
  void* frame = nullptr;
  backtrace(&frame, 1);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = OnFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : kFatalSignals) sigaction(signalNumber, &action, nullptr);
}

std::intptr_t CreateDumpFile(const std::string& path, Error* error) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) *error = ErrnoError(errno, "open");
  return fd;
}

Error WriteDump(std::intptr_t file, const CrashContext& context) {
  int fd = static_cast<int>(file);
  char header[256];
  char* end = header;
  const int signalNumber = SignalNumberOf(context);
  const char* description = sigdescr_np(signalNumber);
  AppendText(&end, "signal ");
  AppendNumber(&end, static_cast<std::uint64_t>(signalNumber), 10);
  AppendText(&end, " (");
  AppendText(&end, description != nullptr ? description : "Unknown signal");
  AppendText(&end, ")\nexception code 0x");
  const std::uint64_t code = context.exceptionCode;
  for (int shift = 28; shift >= 0; shift -= 4) *end++ = "0123456789ABCDEF"[(code >> shift) & 0xF];
  AppendText(&end, "\naddress 0x");
  AppendNumber(&end, context.address, 16);
  AppendText(&end, "\nbacktrace:\n");
  *end = '\0';
  WriteText(fd, header);
  void* frames[64];
  int count = backtrace(frames, 64);
  backtrace_symbols_fd(frames, count, fd);
  return fsync(fd) == 0 ? Error::Success() : ErrnoError(errno, "fsync");
}

void CloseDumpFile(std::intptr_t file) { close(static_cast<int>(file)); }

void CurrentTime(std::int64_t* seconds, std::int32_t* microseconds) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  *seconds = now.tv_sec;
  *microseconds = static_cast<std::int32_t>(now.tv_nsec / 1000);
}

// pthread_self reads the thread pointer: no lock, no call into the C library's state.
std::uint64_t CurrentThreadNumber() { return static_cast<std::uint64_t>(pthread_self()); }

std::intptr_t OpenForAppend(const char* path) {
  return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
}

bool WriteWithin(std::intptr_t file, const char* data, std::size_t size, int waitMs) {
  return WriteAll(static_cast<int>(file), data, size, waitMs) == 0;
}

void CloseFile(std::intptr_t file) { close(static_cast<int>(file)); }

std::intptr_t StandardOutput() { return STDOUT_FILENO; }

long LocalUtcOffset() {
  const time_t now = time(nullptr);
  tm local{};
  if (localtime_r(&now, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

}  // namespace platform
