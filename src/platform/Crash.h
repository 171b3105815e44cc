#pragma once

#include <cstdint>
#include <string>

namespace platform {

// What the platform knows about a fatal fault when it reaches the crash handler.
struct CrashInfo {
  std::uint32_t exceptionCode;  // the nearest code of the service's exception table
  std::uintptr_t address;       // faulting address
  int signalNumber;             // platform detail (0 where there is none)
};

using CrashCallback = void (*)(const CrashInfo&);

// Installs handlers for fatal faults. The callback runs on the faulting thread; when
// it returns, the process ends with the original fault.
void InstallCrashHandlers(CrashCallback callback);

// Creates (or replaces) the dump file; returns its handle, or -1 with *error set.
std::intptr_t CreateDumpFile(const std::string& path, int* error);
// Writes the fault, its address and a backtrace of the calling thread; 0 or an error.
int WriteDump(std::intptr_t file, const CrashInfo& info);
void CloseDumpFile(std::intptr_t file);

}  // namespace platform
