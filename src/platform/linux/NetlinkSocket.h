#pragma once

#include <libmnl/libmnl.h>

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

}  // namespace platform
