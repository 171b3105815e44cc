#include "app/SessionRegistry.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "common/Logging.h"
#include "platform/ProcessInfo.h"
#include "platform/Threads.h"

namespace vortan {

// The record lives until its session ends: the session's copy of the connection goes
// then (the client sees the close at once, unless a tunnel still relays to it).
struct SessionRegistry::Entry {
  explicit Entry(SessionStart record) : start(std::move(record)) {}
  std::mutex mutex;
  std::optional<SessionStart> start;  // under mutex; empty once the session ended
  std::atomic<bool> finished{false};
  platform::OwnedThread thread;  // last: joined before the record goes
};

SessionRegistry::SessionRegistry(Body body, std::size_t stackSize) : body_(std::move(body)), stackSize_(stackSize) {}

SessionRegistry::~SessionRegistry() { EndAll(); }

void SessionRegistry::Start(SessionStart start) {
  auto entry = std::make_unique<Entry>(std::move(start));
  Entry* record = entry.get();
  std::uint64_t threadId = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  ReapFinishedLocked();
  const platform::Error error = record->thread.Start(
      [this, record] {
        body_(*record->start);
        std::lock_guard<std::mutex> ended(record->mutex);
        record->start.reset();
        record->finished = true;
      },
      stackSize_, &threadId);
  if (error.Failed()) {
    const std::string reason = platform::ErrorText(error.Code());
    CLOG(ERROR, loggers::kService) << "cannot start a session thread: " << reason << " (" << error.Code() << ")";
    return;
  }
  sessions_.push_back(std::move(entry));
  el::Loggers::getLogger(loggers::kService)->debug("ANSWER Thread %v created. id:%v", static_cast<void*>(record),
                                                   threadId);
}

void SessionRegistry::ReapFinishedLocked() {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if ((*it)->finished) {
      (*it)->thread.Join();
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
}

void SessionRegistry::EndAll() {
  std::list<std::unique_ptr<Entry>> ending;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending.swap(sessions_);
  }
  for (const auto& entry : ending) {
    std::lock_guard<std::mutex> lock(entry->mutex);
    if (entry->start) entry->start->client.connection->Shutdown();
  }
  for (const auto& entry : ending) entry->thread.Join();
}

std::size_t SessionRegistry::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_.size();
}

}  // namespace vortan
