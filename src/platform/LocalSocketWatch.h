#pragma once

#include <chrono>
#include <string>

#include "platform/Error.h"

namespace platform {

// Watches for a local socket to appear at a path, woken by its creation rather than by
// looking again and again. Set before the socket's owner starts, it misses nothing.
// Where local sockets are loopback endpoints, nothing shows before the listener
// answers: a wait succeeds at once and only a connect can tell.
class LocalSocketWatch {
 public:
  explicit LocalSocketWatch(std::string path);
  ~LocalSocketWatch();
  LocalSocketWatch(const LocalSocketWatch&) = delete;
  LocalSocketWatch& operator=(const LocalSocketWatch&) = delete;

  // Waits at most timeout. Where local sockets are socket files: success once a socket
  // file is at the path (its owner may be a moment from listening: bind makes the file,
  // listen follows), a NotFound error when none is there by the time; any other error
  // means the path's directory cannot be watched.
  Error Wait(std::chrono::milliseconds timeout);
  // Ends the watch. The system completes that a moment later, and a watch ended early
  // costs its destructor nothing; one ended by the destructor holds it up for that
  // moment (milliseconds).
  void Stop();

 private:
  std::string path_;
  int descriptor_ = -1;
  int watch_ = -1;
  NativeErrorCode setUpError_ = 0;
};

}  // namespace platform
