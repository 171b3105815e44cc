#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vortan {

// Orders two writers of one client connection: the session opens the gate once its
// reply to "start" is on the wire, and the listen thread of that tunnel waits for it
// before it relays anything, so the reply comes before the notifications it led to.
class ReplyGate {
 public:
  void Open();
  // True when the gate opened within timeout; a session that never answers cannot
  // hold the tunnel's notifications back for longer.
  bool WaitOpen(std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

}  // namespace vortan
