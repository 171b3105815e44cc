#include "platform/Threads.h"

#include <winsock2.h>
#include <windows.h>
#include <process.h>

#include <cerrno>
#include <memory>

namespace platform {
namespace {

unsigned __stdcall RunThread(void* argument) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return 0;
}

}  // namespace

int OwnedThread::Start(std::function<void()> body, std::size_t stackSize, std::uint64_t* threadId) {
  if (started_) return ERROR_BUSY;
  auto* owned = new std::function<void()>(std::move(body));
  unsigned id = 0;
  // _beginthreadex rather than CreateThread: the C run-time library sets up its
  // per-thread data. The size reserves the whole stack, as a POSIX stack size does.
  const std::uintptr_t thread = _beginthreadex(nullptr, static_cast<unsigned>(stackSize), RunThread, owned,
                                               stackSize != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, &id);
  if (thread == 0) {
    const unsigned long error = _doserrno != 0 ? _doserrno : ERROR_NOT_ENOUGH_MEMORY;
    delete owned;
    return static_cast<int>(error);
  }
  handle_ = thread;
  started_ = true;
  if (threadId != nullptr) *threadId = id;
  return 0;
}

void OwnedThread::Join() {
  if (!started_) return;
  started_ = false;
  const HANDLE thread = reinterpret_cast<HANDLE>(handle_);
  ::WaitForSingleObject(thread, INFINITE);
  ::CloseHandle(thread);
}

}  // namespace platform
