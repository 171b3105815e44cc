#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/Error.h"

namespace platform {

// A thread with a chosen stack size and one owner, who joins it (at the latest when the
// object goes). The body stays in the object, which outlives the thread.
class OwnedThread {
 public:
  OwnedThread() = default;
  ~OwnedThread() { Join(); }
  OwnedThread(const OwnedThread&) = delete;
  OwnedThread& operator=(const OwnedThread&) = delete;

  // Runs body on a new thread with the given stack size (0: the default) and gives the
  // new thread's identifier; on failure body is not run.
  Error Start(std::function<void()> body, std::size_t stackSize, std::uint64_t* threadId);
  // Waits for the thread to end; nothing when none was started or it was joined.
  void Join();

 private:
  std::function<void()> body_;
  std::uintptr_t handle_ = 0;
  bool started_ = false;
};

}  // namespace platform
