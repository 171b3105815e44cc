#include "platform/Threads.h"

#include <pthread.h>

#include <cerrno>
#include <memory>

namespace platform {
namespace {

void* RunThread(void* argument) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return nullptr;
}

}  // namespace

int OwnedThread::Start(std::function<void()> body, std::size_t stackSize, std::uint64_t* threadId) {
  if (started_) return EBUSY;
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error != 0) return error;
  if (stackSize != 0) error = pthread_attr_setstacksize(&attributes, stackSize);
  if (error != 0) {
    pthread_attr_destroy(&attributes);
    return error;
  }
  auto* owned = new std::function<void()>(std::move(body));
  pthread_t thread;
  error = pthread_create(&thread, &attributes, RunThread, owned);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    delete owned;
    return error;
  }
  handle_ = static_cast<std::uintptr_t>(thread);
  started_ = true;
  if (threadId != nullptr) *threadId = static_cast<std::uint64_t>(thread);
  return 0;
}

void OwnedThread::Join() {
  if (!started_) return;
  started_ = false;
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
}

}  // namespace platform
