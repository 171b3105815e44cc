#include "platform/linux/NetlinkSocket.h"

#include <cerrno>
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

}  // namespace platform
