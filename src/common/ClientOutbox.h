#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/socket.h"

namespace vortan {

// The one writer of a client connection: the session's replies and the lines a tunnel
// relays to that client go out through it, in one order and one encoding. A reply goes
// before every line relayed while its request was served (so the reply to "start"
// precedes the notifications that start led to).
//
// Relayed lines never wait: they are queued for a writer thread of the outbox's own
// (started with the first relayed line), and dropped, counted, while the queue is full.
// A client that has read nothing for the send timeout while a line waits is
// disconnected. The drops and a disconnection are logged once, in one line, when the
// outbox ends.
class ClientOutbox {
 public:
  struct Limits {
    std::size_t maxLines = 10000;
    std::size_t maxBytes = 1024 * 1024;
    // How long one send may wait for a client that does not read.
    std::chrono::milliseconds sendTimeout{5000};
    // How long the end waits for queued lines to go out.
    std::chrono::milliseconds linger{1000};
  };

  explicit ClientOutbox(std::shared_ptr<Socket> connection);
  ClientOutbox(std::shared_ptr<Socket> connection, Limits limits);
  // Sends what is queued (for at most the linger time), then ends the writer.
  ~ClientOutbox();
  ClientOutbox(const ClientOutbox&) = delete;
  ClientOutbox& operator=(const ClientOutbox&) = delete;

  // From now until the next Reply, relayed lines wait behind that reply.
  void HoldRelayed();
  // A reply (or the welcome), in the encoding clients read replies in; never dropped.
  // Sent before returning while nothing is relayed on the connection, otherwise queued
  // (waiting for room while the queue is full).
  void Reply(const std::string& text);
  // A line relayed from a tunnel, sent as it is; returns at once.
  void Relay(const std::string& line);

  // Lines dropped so far.
  std::size_t Dropped() const;
  // True once the client was disconnected for not reading (or its connection failed).
  bool Disconnected() const;

 private:
  void ReleaseHeldLocked();
  void DropLocked(std::size_t bytes);
  void WriterLoop();
  void SendUnlocked(std::unique_lock<std::mutex>& lock, const std::string& bytes);
  bool SendAll(const std::string& bytes);
  void DisconnectIfStuckLocked();
  void DisconnectLocked(const char* reason);

  std::shared_ptr<Socket> connection_;
  Limits limits_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  // Lines (with their line feeds) ready to go, and relayed lines held behind a reply.
  std::deque<std::string> queue_;
  std::deque<std::string> held_;
  std::size_t queueBytes_ = 0;
  std::size_t heldBytes_ = 0;
  bool holding_ = false;
  bool sending_ = false;  // a line is being sent (by the writer or a reply)
  std::chrono::steady_clock::time_point sendingSince_;
  bool closing_ = false;
  bool disconnected_ = false;
  const char* disconnectReason_ = nullptr;
  std::size_t droppedLines_ = 0;
  std::size_t droppedBytes_ = 0;
  std::thread writer_;
};

}  // namespace vortan
