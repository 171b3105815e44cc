#include "platform/LocalSocketWait.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/LocalSocket.h"
#include "platform/linux/ErrnoError.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long long kLongestPollMs = 60 * 1000;

class Inotify {
 public:
  Inotify() : fd_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {}
  ~Inotify() {
    if (fd_ >= 0) close(fd_);
  }
  Inotify(const Inotify&) = delete;
  Inotify& operator=(const Inotify&) = delete;
  int Fd() const { return fd_; }

  // Reads every event queued so far: the caller looks at the path itself afterwards.
  void Drain() const {
    alignas(inotify_event) char events[4096];
    while (read(fd_, events, sizeof events) > 0) {
    }
  }

 private:
  int fd_;
};

std::string DirectoryOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

Error WaitForLocalSocket(const std::string& path, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  const Inotify watch;
  if (watch.Fd() < 0) return Error(ErrorKind::Other, errno, "inotify_init1");
  // The watch is set before the first look, so a socket bound in between is not missed.
  // Renames count too: a socket may be bound under another name and moved into place.
  // A directory that cannot be watched (even one that is missing) is no answer about the
  // socket: never NotFound here.
  if (inotify_add_watch(watch.Fd(), DirectoryOf(path).c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) < 0) {
    return Error(ErrorKind::Other, errno, "inotify_add_watch");
  }
  for (;;) {
    if (IsSocketFile(path)) return Error::Success();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ErrnoError(ENOENT, "inotify");
    pollfd entry{watch.Fd(), POLLIN, 0};
    const int waitMs = static_cast<int>(std::min<long long>(left.count(), kLongestPollMs));
    if (poll(&entry, 1, waitMs) < 0 && errno != EINTR) return Error(ErrorKind::Other, errno, "poll");
    watch.Drain();
  }
}

}  // namespace platform
