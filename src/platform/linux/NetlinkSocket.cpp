#include "platform/linux/NetlinkSocket.h"

#include <linux/netlink.h>
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

namespace platform {
namespace {

constexpr std::size_t kReceiveBufferSize = 64 * 1024;

}  // namespace

NetlinkSocket::~NetlinkSocket() {
  if (socket_ != nullptr) mnl_socket_close(socket_);
}

Error NetlinkSocket::Open(int family) {
  socket_ = mnl_socket_open2(family, SOCK_CLOEXEC);
  if (socket_ == nullptr) return ErrnoError(errno, "netlink socket");
  if (mnl_socket_bind(socket_, 0, MNL_SOCKET_AUTOPID) < 0) return ErrnoError(errno, "netlink bind");
  return Error::Success();
}

Error NetlinkSocket::RequireStrictChecking() {
  for (int option : {NETLINK_GET_STRICT_CHK, NETLINK_EXT_ACK, NETLINK_CAP_ACK}) {
    int on = 1;
    if (mnl_socket_setsockopt(socket_, option, &on, sizeof on) < 0) return ErrnoError(errno, "netlink setsockopt");
  }
  return Error::Success();
}

int NetlinkSocket::Exchange(nlmsghdr* request, mnl_cb_t callback, void* data) {
  request->nlmsg_flags |= NLM_F_ACK;
  request->nlmsg_seq = ++sequence_;
  if (mnl_socket_sendto(socket_, request, request->nlmsg_len) < 0) return errno;
  if (buffer_.empty()) buffer_.resize(kReceiveBufferSize);
  std::vector<char>& buffer = buffer_;
  const unsigned portId = mnl_socket_get_portid(socket_);
  for (;;) {
    const ssize_t received = mnl_socket_recvfrom(socket_, buffer.data(), buffer.size());
    if (received < 0) return errno;
    errno = 0;
    const int result = mnl_cb_run(buffer.data(), static_cast<std::size_t>(received), request->nlmsg_seq, portId,
                                  callback, data);
    if (result == MNL_CB_STOP) return 0;
    if (result == MNL_CB_ERROR) return errno != 0 ? errno : EPROTO;
  }
}

NetlinkAnnouncements::~NetlinkAnnouncements() {
  if (socket_ >= 0) close(socket_);
  if (wake_ >= 0) close(wake_);
}

Error NetlinkAnnouncements::Open(unsigned groups, const char* bindStep) {
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) return ErrnoError(errno, "eventfd");
  socket_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (socket_ < 0) return ErrnoError(errno, "socket(NETLINK_ROUTE)");
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = groups;
  if (bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return ErrnoError(errno, bindStep);
  return Error::Success();
}

NetlinkAnnouncements::Ready NetlinkAnnouncements::Wait(std::chrono::milliseconds timeout) const {
  pollfd waiters[] = {{wake_, POLLIN, 0}, {socket_, POLLIN, 0}};
  const int ready = poll(waiters, 2, static_cast<int>(std::clamp<std::int64_t>(timeout.count(), 0, INT_MAX)));
  if (ready < 0) return errno == EINTR ? Ready::TimedOut : Ready::Failed;
  if (waiters[0].revents != 0) return Ready::Woken;
  return ready == 0 ? Ready::TimedOut : Ready::Announced;
}

void NetlinkAnnouncements::Wake() const {
  const std::uint64_t one = 1;
  if (wake_ >= 0 && write(wake_, &one, sizeof one) < 0) return;  // the counter is full: a wake is pending anyway
}

bool NetlinkAnnouncements::TakeWake() const {
  std::uint64_t count = 0;
  return read(wake_, &count, sizeof count) == sizeof count;
}

}  // namespace platform
