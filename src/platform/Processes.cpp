#include "platform/Processes.h"

#include <utility>

// The parts of a process record that every system shares: moving the record hands its
// process over, a kill is followed by the wait, and a forgotten record names no process.
namespace platform {

Process::~Process() { Release(); }

Process::Process(Process&& other) noexcept
    : handle_(other.handle_),
      id_(other.id_),
      launcher_(other.launcher_),
      exitRequest_(std::move(other.exitRequest_)),
      program_(std::move(other.program_)),
      workingDirectory_(std::move(other.workingDirectory_)) {
  other.Forget();
}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = other.handle_;
    id_ = other.id_;
    launcher_ = other.launcher_;
    exitRequest_ = std::move(other.exitRequest_);
    program_ = std::move(other.program_);
    workingDirectory_ = std::move(other.workingDirectory_);
    other.Forget();
  }
  return *this;
}

bool Process::KillAndWait(std::chrono::milliseconds timeout) {
  if (handle_ == kNoProcess) return true;
  Kill();
  const bool ended = WaitForExit(timeout);
  Release();
  return ended;
}

void Process::Forget() {
  handle_ = kNoProcess;
  id_ = 0;
  launcher_ = nullptr;
  exitRequest_ = ExitRequest{};
  program_.clear();
  workingDirectory_.clear();
}

}  // namespace platform
