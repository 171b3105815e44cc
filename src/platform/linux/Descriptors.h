#pragma once

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

// Whole-buffer writes to a file descriptor, shared by the Linux backend.
namespace platform {

// Waits at most waitMs for fd to take bytes; 0, ETIMEDOUT or the errno of poll.
inline int WaitWritable(int fd, int waitMs) {
  pollfd waiter{fd, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&waiter, 1, waitMs);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return errno;
  return ready == 0 ? ETIMEDOUT : 0;
}

// Writes all size bytes, resuming after partial and interrupted writes. With waitMs > 0
// every write first waits at most that long for fd to take bytes. Returns 0 or the errno
// value. Calls only poll and write, both async-signal-safe: fault handlers use it.
inline int WriteAll(int fd, const char* data, std::size_t size, int waitMs = 0) {
  while (size > 0) {
    if (waitMs > 0) {
      if (int error = WaitWritable(fd, waitMs)) return error;
    }
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    if (written == 0) return EIO;  // no progress: never spin
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

}  // namespace platform
