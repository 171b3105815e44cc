#include "platform/Threads.h"

#include <pthread.h>

#include <cerrno>

#include "platform/linux/ErrnoError.h"

namespace platform {
namespace {

// The argument is the body kept in its OwnedThread, which joins the thread before it goes.
void* RunThread(void* argument) {
  (*static_cast<std::function<void()>*>(argument))();
  return nullptr;
}

}  // namespace

Error OwnedThread::Start(std::function<void()> body, std::size_t stackSize, std::uint64_t* threadId) {
  if (started_) return ErrnoError(EBUSY, "pthread_create");
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error != 0) return ErrnoError(error, "pthread_attr_init");
  if (stackSize != 0) error = pthread_attr_setstacksize(&attributes, stackSize);
  if (error != 0) {
    pthread_attr_destroy(&attributes);
    return ErrnoError(error, "pthread_attr_setstacksize");
  }
  body_ = std::move(body);
  pthread_t thread;
  error = pthread_create(&thread, &attributes, RunThread, &body_);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    body_ = nullptr;
    return ErrnoError(error, "pthread_create");
  }
  handle_ = static_cast<std::uintptr_t>(thread);
  started_ = true;
  if (threadId != nullptr) *threadId = static_cast<std::uint64_t>(thread);
  return Error::Success();
}

void OwnedThread::Join() {
  if (!started_) return;
  started_ = false;
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
}

}  // namespace platform
