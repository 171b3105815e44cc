#include "common/ClientOutbox.h"

#include <system_error>
#include <utility>

#include "common/Logging.h"
#include "platform/ReplyEncoding.h"
#include "platform/Tcp.h"

namespace vortan {
namespace {

using Clock = std::chrono::steady_clock;

// How often a reply waiting for room looks whether the writer is stuck.
constexpr auto kStuckCheck = std::chrono::milliseconds(100);
constexpr auto kCloseGrace = std::chrono::milliseconds(200);

}  // namespace

ClientOutbox::ClientOutbox(std::shared_ptr<Socket> connection) : ClientOutbox(std::move(connection), Limits()) {}

ClientOutbox::ClientOutbox(std::shared_ptr<Socket> connection, Limits limits)
    : connection_(std::move(connection)), limits_(limits) {}

ClientOutbox::~ClientOutbox() {
  std::unique_lock<std::mutex> lock(mutex_);
  closing_ = true;
  ReleaseHeldLocked();
  changed_.notify_all();
  if (writer_.joinable()) {
    const auto deadline = Clock::now() + limits_.linger;
    while (!disconnected_ && (sending_ || !queue_.empty())) {
      if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && (sending_ || !queue_.empty())) {
        DisconnectLocked("it did not read the last lines");
      }
    }
    // Where shutting a connection down does not end a blocked send, closing does.
    if (!changed_.wait_for(lock, kCloseGrace, [this] { return !sending_; })) connection_->Close();
    lock.unlock();
    writer_.join();
  } else {
    lock.unlock();
  }
  if (droppedLines_ == 0 && disconnectReason_ == nullptr) return;
  CLOG(WARNING, loggers::kService) << "lines for a client connection dropped: " << droppedLines_ << " (" << droppedBytes_
                                   << " bytes)" << (disconnectReason_ != nullptr ? "; disconnected: " : "")
                                   << (disconnectReason_ != nullptr ? disconnectReason_ : "");
}

void ClientOutbox::HoldRelayed() {
  std::lock_guard<std::mutex> lock(mutex_);
  holding_ = true;
}

void ClientOutbox::Reply(const std::string& text) {
  std::string bytes = platform::ReplyForWire(text);
  bytes.push_back('\n');
  std::unique_lock<std::mutex> lock(mutex_);
  if (!writer_.joinable()) {
    // Nothing was ever relayed here: the session is the only writer and sends itself.
    holding_ = false;
    if (disconnected_) return;
    SendUnlocked(lock, bytes);
    return;
  }
  // Held lines never count against the reply's room: they wait for this very reply.
  while (!disconnected_ && !queue_.empty() && queueBytes_ + bytes.size() > limits_.maxBytes) {
    DisconnectIfStuckLocked();
    changed_.wait_for(lock, kStuckCheck);
  }
  if (disconnected_) return;
  queueBytes_ += bytes.size();
  queue_.push_back(std::move(bytes));
  ReleaseHeldLocked();
  changed_.notify_all();
}

void ClientOutbox::Relay(const std::string& line) {
  const std::size_t size = line.size() + 1;
  std::lock_guard<std::mutex> lock(mutex_);
  DisconnectIfStuckLocked();
  // Lines for a client that has gone are no loss worth counting.
  if (disconnected_ && disconnectReason_ == nullptr) return;
  if (disconnected_ || closing_ || queue_.size() + held_.size() >= limits_.maxLines ||
      queueBytes_ + heldBytes_ + size > limits_.maxBytes) {
    DropLocked(size);
    return;
  }
  if (!writer_.joinable()) {
    try {
      writer_ = std::thread([this] { WriterLoop(); });
    } catch (const std::system_error&) {
      DropLocked(size);
      return;
    }
  }
  std::string bytes = line;
  bytes.push_back('\n');
  if (holding_) {
    heldBytes_ += size;
    held_.push_back(std::move(bytes));
  } else {
    queueBytes_ += size;
    queue_.push_back(std::move(bytes));
  }
  changed_.notify_all();
}

std::size_t ClientOutbox::Dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return droppedLines_;
}

bool ClientOutbox::Disconnected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return disconnected_;
}

void ClientOutbox::ReleaseHeldLocked() {
  holding_ = false;
  queueBytes_ += heldBytes_;
  heldBytes_ = 0;
  while (!held_.empty()) {
    queue_.push_back(std::move(held_.front()));
    held_.pop_front();
  }
}

void ClientOutbox::DropLocked(std::size_t bytes) {
  ++droppedLines_;
  droppedBytes_ += bytes;
}

void ClientOutbox::WriterLoop() {
  NameThread("outbox-" + PointerText(this));
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return disconnected_ || (!sending_ && (closing_ || !queue_.empty())); });
    if (disconnected_ || queue_.empty()) return;
    std::string bytes = std::move(queue_.front());
    queue_.pop_front();
    queueBytes_ -= bytes.size();
    SendUnlocked(lock, bytes);
  }
}

// Sends with the lock released, marked as sending so that a stuck client can be told
// from a slow one; a failed send disconnects.
void ClientOutbox::SendUnlocked(std::unique_lock<std::mutex>& lock, const std::string& bytes) {
  sending_ = true;
  sendingSince_ = Clock::now();
  lock.unlock();
  const bool sent = SendAll(bytes);
  lock.lock();
  sending_ = false;
  if (!sent && !disconnected_) DisconnectLocked(nullptr);
  changed_.notify_all();
}

bool ClientOutbox::SendAll(const std::string& bytes) {
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    std::size_t sent = 0;
    if (platform::SendSocket(connection_->Handle(), bytes.data() + offset, bytes.size() - offset, &sent).Failed()) {
      return false;
    }
    if (sent == 0) return false;
    offset += sent;
  }
  return true;
}

// A send that has not finished within the timeout means the client reads nothing.
void ClientOutbox::DisconnectIfStuckLocked() {
  if (disconnected_ || !sending_ || Clock::now() - sendingSince_ < limits_.sendTimeout) return;
  DisconnectLocked("it read nothing within the send timeout");
}

// Shutting the connection down ends a blocked send and the session's read alike. No
// reason: the client has gone, and what was left for it is no loss worth counting.
void ClientOutbox::DisconnectLocked(const char* reason) {
  disconnected_ = true;
  disconnectReason_ = reason;
  if (reason != nullptr) {
    for (const std::string& bytes : queue_) DropLocked(bytes.size());
    for (const std::string& bytes : held_) DropLocked(bytes.size());
  }
  queue_.clear();
  held_.clear();
  queueBytes_ = heldBytes_ = 0;
  platform::ShutdownSocket(connection_->Handle());
  changed_.notify_all();
}

}  // namespace vortan
