#include "platform/RouteChanges.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <vector>

#include "platform/linux/ErrnoError.h"

// The kernel's route, link and IPv4 address announcements on an rtnetlink socket; an
// eventfd beside it carries the nudges, so one poll waits for both.
namespace platform {
namespace {

class NetlinkRouteChanges final : public RouteChanges {
 public:
  NetlinkRouteChanges() = default;
  ~NetlinkRouteChanges() override {
    if (socket_ >= 0) close(socket_);
    if (nudge_ >= 0) close(nudge_);
  }
  NetlinkRouteChanges(const NetlinkRouteChanges&) = delete;
  NetlinkRouteChanges& operator=(const NetlinkRouteChanges&) = delete;

  Error Open() {
    nudge_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (nudge_ < 0) return ErrnoError(errno, "eventfd");
    socket_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (socket_ < 0) return ErrnoError(errno, "socket(NETLINK_ROUTE)");
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
    if (bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      return ErrnoError(errno, "bind(RTMGRP_LINK|RTMGRP_IPV4_IFADDR|RTMGRP_IPV4_ROUTE)");
    }
    return Error::Success();
  }

  Wake Wait(std::chrono::milliseconds timeout) override {
    pollfd waiters[] = {{nudge_, POLLIN, 0}, {socket_, POLLIN, 0}};
    const int ready = poll(waiters, 2, static_cast<int>(std::clamp<std::int64_t>(timeout.count(), 0, INT_MAX)));
    if (ready < 0) return errno == EINTR ? Wake::TimedOut : Wake::Failed;
    if (waiters[0].revents != 0) {
      std::uint64_t count = 0;
      return read(nudge_, &count, sizeof count) == sizeof count ? Wake::Nudged : Wake::Failed;
    }
    if (ready == 0) return Wake::TimedOut;
    return Drain();
  }

  void Nudge() override {
    const std::uint64_t one = 1;
    if (write(nudge_, &one, sizeof one) < 0) return;  // the counter is full: a nudge is pending anyway
  }

 private:
  // Reads what is queued: one wake for the whole burst. A flood that outruns the reads
  // still ends the wait; the rest wakes the next one.
  Wake Drain() {
    std::vector<char> buffer(8192);
    for (int reads = 0; reads < 256; ++reads) {
      const ssize_t size = recv(socket_, buffer.data(), buffer.size(), 0);
      if (size > 0) continue;
      if (size < 0 && errno == EINTR) continue;
      // Announcements were dropped: whatever they said, the waiter's look covers it.
      if (size < 0 && errno == ENOBUFS) continue;
      if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Wake::Changed;
      return Wake::Failed;
    }
    return Wake::Changed;
  }

  int socket_ = -1;
  int nudge_ = -1;
};

}  // namespace

std::unique_ptr<RouteChanges> SubscribeToRouteChanges(Error* error) {
  auto changes = std::make_unique<NetlinkRouteChanges>();
  *error = changes->Open();
  if (error->Failed()) return nullptr;
  return changes;
}

}  // namespace platform
