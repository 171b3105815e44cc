#include "tunnel/ReplyGate.h"

namespace vortan {

void ReplyGate::Open() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
  }
  opened_.notify_all();
}

bool ReplyGate::WaitOpen(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return opened_.wait_for(lock, timeout, [this] { return open_; });
}

}  // namespace vortan
