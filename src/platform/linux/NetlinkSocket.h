#pragma once

#include <libmnl/libmnl.h>

#include <chrono>
#include <vector>

#include "platform/Error.h"

namespace platform {

// One netlink socket of the Linux backend, bound to a port the kernel picks and closed
// when destroyed. Owned by one thread; its exchanges share one receive buffer.
class NetlinkSocket {
 public:
  NetlinkSocket() = default;
  ~NetlinkSocket();
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;

  // Opens and binds a socket of the netlink family (NETLINK_ROUTE, NETLINK_SOCK_DIAG).
  Error Open(int family);
  // Strict checking makes the kernel honour dump filters (and reject bad requests
  // instead of ignoring fields); acknowledgements need not echo the request.
  Error RequireStrictChecking();

  // Sends the request (an acknowledgement is always asked for) and feeds every reply
  // message to callback until the kernel ends the exchange. 0 or the kernel's errno.
  int Exchange(nlmsghdr* request, mnl_cb_t callback, void* data);

 private:
  mnl_socket* socket_ = nullptr;
  unsigned sequence_ = 0;
  std::vector<char> buffer_;  // sized at the first exchange
};

// A non-blocking rtnetlink socket bound to multicast groups, with an eventfd beside it
// that wakes a waiter, so one poll waits for both. Both are closed when destroyed.
class NetlinkAnnouncements {
 public:
  NetlinkAnnouncements() = default;
  ~NetlinkAnnouncements();
  NetlinkAnnouncements(const NetlinkAnnouncements&) = delete;
  NetlinkAnnouncements& operator=(const NetlinkAnnouncements&) = delete;

  // bindStep names the groups in the error of a failed bind.
  Error Open(unsigned groups, const char* bindStep);

  enum class Ready { Failed, TimedOut, Woken, Announced };
  // Woken wins over Announced; a wake stays pending until TakeWake.
  Ready Wait(std::chrono::milliseconds timeout) const;
  void Wake() const;
  bool TakeWake() const;

  int Socket() const { return socket_; }

 private:
  int socket_ = -1;
  int wake_ = -1;
};

}  // namespace platform
