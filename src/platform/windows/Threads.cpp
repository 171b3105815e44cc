#include "platform/Threads.h"

#include <winsock2.h>
#include <windows.h>
#include <process.h>

#include <cerrno>

#include "platform/windows/Win32Error.h"

namespace platform {
namespace {

// The argument is the body kept in its OwnedThread, which joins the thread before it goes.
unsigned __stdcall RunThread(void* argument) {
  (*static_cast<std::function<void()>*>(argument))();
  return 0;
}

}  // namespace

Error OwnedThread::Start(std::function<void()> body, std::size_t stackSize, std::uint64_t* threadId) {
  if (started_) return Win32Error(ERROR_BUSY, "_beginthreadex");
  body_ = std::move(body);
  unsigned id = 0;
  // _beginthreadex rather than CreateThread: the C run-time library sets up its
  // per-thread data. The size reserves the whole stack, as a POSIX stack size does.
  const std::uintptr_t thread = _beginthreadex(nullptr, static_cast<unsigned>(stackSize), RunThread, &body_,
                                               stackSize != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, &id);
  if (thread == 0) {
    const unsigned long error = _doserrno != 0 ? _doserrno : ERROR_NOT_ENOUGH_MEMORY;
    body_ = nullptr;
    return Win32Error(error, "_beginthreadex");
  }
  handle_ = thread;
  started_ = true;
  if (threadId != nullptr) *threadId = id;
  return Error::Success();
}

void OwnedThread::Join() {
  if (!started_) return;
  started_ = false;
  const HANDLE thread = reinterpret_cast<HANDLE>(handle_);
  ::WaitForSingleObject(thread, INFINITE);
  ::CloseHandle(thread);
}

}  // namespace platform
