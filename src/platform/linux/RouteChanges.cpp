#include "platform/RouteChanges.h"

#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <vector>

#include "platform/linux/NetlinkSocket.h"

// The kernel's route, link and IPv4 address announcements on an rtnetlink socket; an
// eventfd beside it carries the nudges, so one poll waits for both.
namespace platform {
namespace {

class NetlinkRouteChanges final : public RouteChanges {
 public:
  Error Open() {
    return announcements_.Open(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE,
                               "bind(RTMGRP_LINK|RTMGRP_IPV4_IFADDR|RTMGRP_IPV4_ROUTE)");
  }

  Wake Wait(std::chrono::milliseconds timeout) override {
    switch (announcements_.Wait(timeout)) {
      case NetlinkAnnouncements::Ready::Failed: return Wake::Failed;
      case NetlinkAnnouncements::Ready::TimedOut: return Wake::TimedOut;
      case NetlinkAnnouncements::Ready::Woken: return announcements_.TakeWake() ? Wake::Nudged : Wake::Failed;
      case NetlinkAnnouncements::Ready::Announced: break;
    }
    return Drain();
  }

  void Nudge() override { announcements_.Wake(); }

 private:
  // Reads what is queued: one wake for the whole burst. A flood that outruns the reads
  // still ends the wait; the rest wakes the next one.
  Wake Drain() {
    std::vector<char> buffer(8192);
    for (int reads = 0; reads < 256; ++reads) {
      const ssize_t size = recv(announcements_.Socket(), buffer.data(), buffer.size(), 0);
      if (size > 0) continue;
      if (size < 0 && errno == EINTR) continue;
      // Announcements were dropped: whatever they said, the waiter's look covers it.
      if (size < 0 && errno == ENOBUFS) continue;
      if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Wake::Changed;
      return Wake::Failed;
    }
    return Wake::Changed;
  }

  NetlinkAnnouncements announcements_;
};

}  // namespace

std::unique_ptr<RouteChanges> SubscribeToRouteChanges(Error* error) {
  auto changes = std::make_unique<NetlinkRouteChanges>();
  *error = changes->Open();
  if (error->Failed()) return nullptr;
  return changes;
}

}  // namespace platform
