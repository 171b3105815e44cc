#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

#include "protocol/Session.h"

namespace vortan {

// The sessions of the main loop, each with its own thread. The registry owns the
// threads: a finished session is joined when the next one starts, and at the end every
// session's connection is shut down (which ends its session) and its thread joined.
class SessionRegistry {
 public:
  using Body = std::function<void(SessionStart&)>;
  SessionRegistry(Body body, std::size_t stackSize);
  // Ends every session (EndAll).
  ~SessionRegistry();
  SessionRegistry(const SessionRegistry&) = delete;
  SessionRegistry& operator=(const SessionRegistry&) = delete;

  // Runs the body on a new thread with the record; the failure is logged when no thread
  // can be started, and the record (its connection) is dropped.
  void Start(SessionStart start);
  // Shuts every session's connection down and joins its thread.
  void EndAll();
  // Sessions not joined yet.
  std::size_t Count() const;

 private:
  struct Entry;
  void ReapFinishedLocked();

  Body body_;
  std::size_t stackSize_;
  mutable std::mutex mutex_;
  std::list<std::unique_ptr<Entry>> sessions_;
};

}  // namespace vortan
