#include "platform/Crash.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

namespace platform {
namespace {

CrashCallback crashCallback = nullptr;

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
  CrashInfo crash{ExceptionCodeFor(signalNumber, info->si_code),
                  reinterpret_cast<std::uintptr_t>(info->si_addr), signalNumber};
  if (crashCallback != nullptr) crashCallback(crash);
  // End with the original fault so the exit status and any core dump stay truthful.
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

void WriteText(int fd, const char* text) {
  size_t length = strlen(text);
  while (length > 0) {
    ssize_t written = write(fd, text, length);
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

}  // namespace

void InstallCrashHandlers(CrashCallback callback) {
  crashCallback = callback;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = OnFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : kFatalSignals) sigaction(signalNumber, &action, nullptr);
}

std::intptr_t CreateDumpFile(const std::string& path, int* error) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) *error = errno;
  return fd;
}

int WriteDump(std::intptr_t file, const CrashInfo& info) {
  int fd = static_cast<int>(file);
  char header[160];
  snprintf(header, sizeof header, "signal %d (%s)\nexception code 0x%08X\naddress %p\nbacktrace:\n",
           info.signalNumber, strsignal(info.signalNumber), info.exceptionCode,
           reinterpret_cast<void*>(info.address));
  WriteText(fd, header);
  void* frames[64];
  int count = backtrace(frames, 64);
  backtrace_symbols_fd(frames, count, fd);
  return fsync(fd) == 0 ? 0 : errno;
}

void CloseDumpFile(std::intptr_t file) { close(static_cast<int>(file)); }

}  // namespace platform
