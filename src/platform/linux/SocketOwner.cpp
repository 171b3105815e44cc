#include "platform/SocketOwner.h"

#include <libmnl/libmnl.h>
#include <linux/inet_diag.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/linux/ErrnoError.h"
#include "platform/linux/NativeIdentity.h"
#include "platform/linux/NetlinkMessages.h"
#include "platform/linux/NetlinkSocket.h"

namespace platform {
namespace {

struct Lookup {
  uid_t uid = 0;
  bool found = false;
  int state = 0;
  int timer = 0;
};

int OnDiagMessage(const nlmsghdr* header, void* data) {
  auto* lookup = static_cast<Lookup*>(data);
  if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) return MNL_CB_OK;
  const auto* message = static_cast<const inet_diag_msg*>(mnl_nlmsg_get_payload(header));
  lookup->found = true;
  lookup->state = message->idiag_state;
  lookup->timer = message->idiag_timer;
  lookup->uid = message->idiag_uid;
  return MNL_CB_OK;
}

// Asks the kernel for the one TCP socket with these ends; returns success or the error
// (NotFound when there is no such socket).
Error QueryTcpSocket(std::uint32_t address, int port, std::uint32_t remoteAddress, int remotePort, Lookup* lookup) {
  std::vector<char> buffer;
  nlmsghdr* header = netlink::PutHeader(&buffer, SOCK_DIAG_BY_FAMILY, 0);
  auto* request = netlink::PutFamilyHeader<inet_diag_req_v2>(header);
  request->sdiag_family = AF_INET;
  request->sdiag_protocol = IPPROTO_TCP;
  request->idiag_states = ~0u;
  request->id.idiag_sport = htons(static_cast<std::uint16_t>(port));
  request->id.idiag_dport = htons(static_cast<std::uint16_t>(remotePort));
  request->id.idiag_src[0] = address;
  request->id.idiag_dst[0] = remoteAddress;
  request->id.idiag_if = 0;
  request->id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request->id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  NetlinkSocket socket;
  const Error error = socket.Open(NETLINK_SOCK_DIAG);
  if (error.Failed()) return error;
  return ErrnoError(socket.Exchange(header, OnDiagMessage, lookup), "SOCK_DIAG_BY_FAMILY");
}

// The kernel reports its minisockets (TIME_WAIT, the time-wait form of FIN_WAIT2
// after the owner closed, NEW_SYN_RECV) with uid 0 and no inode: that 0 is no user.
// Full sockets keep their owner in every state, also after a half-close.
constexpr int kTimeWaitTimer = 3;  // idiag_timer of a time-wait minisocket

bool IsFullConnectedSocket(const Lookup& lookup) {
  if (lookup.timer == kTimeWaitTimer) return false;
  switch (lookup.state) {
    case TCP_ESTABLISHED:
    case TCP_FIN_WAIT1:
    case TCP_FIN_WAIT2:
    case TCP_CLOSE_WAIT:
    case TCP_CLOSING:
    case TCP_LAST_ACK:
      return true;
    default:
      return false;
  }
}

}  // namespace

Error FindTcpSocketOwner(std::uint32_t address, int port, std::uint32_t remoteAddress, int remotePort,
                         std::optional<CallerIdentity>* owner) {
  Lookup lookup;
  if (Error error = QueryTcpSocket(address, port, remoteAddress, remotePort, &lookup); error.Failed()) return error;
  if (!lookup.found || !IsFullConnectedSocket(lookup)) return ErrnoError(ENOENT, "SOCK_DIAG_BY_FAMILY");
  *owner = IdentityOfUser(lookup.uid);
  return Error::Success();
}

}  // namespace platform
