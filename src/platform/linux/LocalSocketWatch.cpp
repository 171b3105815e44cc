#include "platform/LocalSocketWatch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/LocalSocket.h"
#include "platform/linux/ErrnoError.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long long kLongestPollMs = 60 * 1000;

std::string DirectoryOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Reads every event queued so far: the caller looks at the path itself afterwards.
void Drain(int descriptor) {
  alignas(inotify_event) char events[4096];
  while (read(descriptor, events, sizeof events) > 0) {
  }
}

}  // namespace

// Renames count too: a socket may be bound under another name and moved into place.
LocalSocketWatch::LocalSocketWatch(std::string path) : path_(std::move(path)) {
  descriptor_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (descriptor_ < 0) {
    setUpError_ = errno;
    return;
  }
  watch_ = inotify_add_watch(descriptor_, DirectoryOf(path_).c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
  if (watch_ < 0) setUpError_ = errno;
}

// Closing an instance that still has its watch waits for the system to retire it.
LocalSocketWatch::~LocalSocketWatch() {
  if (descriptor_ >= 0) close(descriptor_);
}

void LocalSocketWatch::Stop() {
  if (watch_ >= 0) inotify_rm_watch(descriptor_, watch_);
  watch_ = -1;
}

Error LocalSocketWatch::Wait(std::chrono::milliseconds timeout) {
  // A directory that cannot be watched (even one that is missing) is no answer about the
  // socket: never NotFound here.
  if (watch_ < 0) return Error(ErrorKind::Other, setUpError_ != 0 ? setUpError_ : EBADF, "inotify_add_watch");
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    if (IsSocketFile(path_)) return Error::Success();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ErrnoError(ENOENT, "inotify");
    pollfd entry{descriptor_, POLLIN, 0};
    const int waitMs = static_cast<int>(std::min<long long>(left.count(), kLongestPollMs));
    if (poll(&entry, 1, waitMs) < 0 && errno != EINTR) return Error(ErrorKind::Other, errno, "poll");
    Drain(descriptor_);
  }
}

}  // namespace platform
