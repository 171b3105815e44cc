#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Error.h"

namespace platform {

// A fatal fault as the platform caught it, filled by the platform's fault handler. The
// code and address are what the service reports; the native part is the platform's
// own record of the fault, opaque above this interface, and goes back to WriteDump.
struct CrashContext {
  std::uint32_t exceptionCode;  // the nearest code of the service's exception table
  std::uintptr_t address;       // faulting address
  const void* native;           // nullptr where there is no fault (a dump on request)
};

using CrashCallback = void (*)(const CrashContext&);

// Installs handlers for fatal faults. The callback runs on the faulting thread; when
// it returns, the process ends with the original fault. The fault may have interrupted
// any code, so everything the callback calls must be safe there: no lock, no
// allocation, no stream.
void InstallCrashHandlers(CrashCallback callback);

// --- Safe inside the fault handler -----------------------------------------------

// The process's standard output, as a file for WriteWithin.
std::intptr_t StandardOutput();

// The wall-clock time.
void CurrentTime(std::int64_t* seconds, std::int32_t* microseconds);
// The calling thread's identifier as the standard library prints it.
std::uint64_t CurrentThreadNumber();
// Opens path for appending, creating it; -1 on failure.
std::intptr_t OpenForAppend(const char* path);
// Writes the whole buffer; where the descriptor cannot take it, waits at most waitMs
// for room (a pipe nobody reads must not hold the handler). False when not all was
// written.
bool WriteWithin(std::intptr_t file, const char* data, std::size_t size, int waitMs);
void CloseFile(std::intptr_t file);

// --- Not safe there: call ahead ----------------------------------------------------

// The local time's offset from UTC, in seconds, at the current time.
long LocalUtcOffset();

// Creates (or replaces) the dump file; returns its handle, or -1 with *error set.
std::intptr_t CreateDumpFile(const std::string& path, Error* error);
// Writes the platform's record of the fault (its code, address and the calling thread's
// stack: a text with a backtrace, or a minidump of the process).
Error WriteDump(std::intptr_t file, const CrashContext& context);
void CloseDumpFile(std::intptr_t file);

}  // namespace platform
