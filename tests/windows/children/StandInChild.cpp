// A stand-in for the programs the service launches (OpenVPN, stunnel), built for the
// Windows tests. What it does comes from its arguments and environment:
//   STANDIN_RECORD=<file>      appends its raw command line and each argument to file
//   STANDIN_STOP_EVENT=<name>  the named event it waits on, and that "-exit" sets
//   -exit                      sets the stop event and ends (stunnel's exit run)
//   --fault <dump>             installs the crash handlers, writes a dump to <dump>
//                              and a line to <dump>.log, then faults
// Otherwise it waits at most 60 s for the stop event and exits with 0 when it was set,
// 2 when the wait ran out.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Crash.h"
#include "platform/windows/WideText.h"

namespace {

std::string dumpPath;

void RecordLaunch(int argc, char** argv) {
  const char* record = std::getenv("STANDIN_RECORD");
  if (record == nullptr) return;
  FILE* file = std::fopen(record, "ab");
  if (file == nullptr) return;
  std::fprintf(file, "CMDLINE:%s\n", platform::WideToUtf8(::GetCommandLineW()).c_str());
  for (int i = 1; i < argc; ++i) std::fprintf(file, "ARG:%s\n", argv[i]);
  std::fclose(file);
}

HANDLE StopEvent(DWORD access) {
  const char* name = std::getenv("STANDIN_STOP_EVENT");
  return name != nullptr ? ::OpenEventA(access, FALSE, name) : nullptr;
}

void OnCrash(const platform::CrashContext& context) {
  const std::string logPath = dumpPath + ".log";
  const std::intptr_t log = platform::OpenForAppend(logPath.c_str());
  if (log != -1) {
    const std::string line = "fault " + std::to_string(context.exceptionCode) + "\n";
    platform::WriteWithin(log, line.data(), line.size(), 0);
    platform::CloseFile(log);
  }
  platform::Error error;
  const std::intptr_t dump = platform::CreateDumpFile(dumpPath, &error);
  if (dump == -1) return;
  platform::WriteDump(dump, context);
  platform::CloseDumpFile(dump);
}

int Fault(const char* path) {
  dumpPath = path;
  platform::InstallCrashHandlers(OnCrash);
  volatile int* nowhere = nullptr;
  *nowhere = 1;
  return 4;
}

}  // namespace

int main(int argc, char** argv) {
  RecordLaunch(argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-exit") == 0) {
      HANDLE event = StopEvent(EVENT_MODIFY_STATE);
      if (event == nullptr) return 3;
      ::SetEvent(event);
      ::CloseHandle(event);
      return 0;
    }
    if (std::strcmp(argv[i], "--fault") == 0 && i + 1 < argc) return Fault(argv[i + 1]);
  }
  HANDLE event = StopEvent(SYNCHRONIZE);
  if (event == nullptr) return 3;
  const bool stopped = ::WaitForSingleObject(event, 60000) == WAIT_OBJECT_0;
  ::CloseHandle(event);
  return stopped ? 0 : 2;
}
