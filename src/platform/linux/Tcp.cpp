#include "platform/Tcp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <limits>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {
namespace {

int Fd(SocketHandle handle) { return static_cast<int>(handle); }

sockaddr_in MakeAddress(std::uint32_t address, int port) {
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_port = htons(static_cast<std::uint16_t>(port));
  socketAddress.sin_addr.s_addr = address;
  return socketAddress;
}

int Status(int result) { return result == 0 ? 0 : errno; }

}  // namespace

int OpenTcpSocket(SocketHandle* handle) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  *handle = fd;
  return 0;
}

int BindSocket(SocketHandle handle, std::uint32_t address, int port) {
  sockaddr_in socketAddress = MakeAddress(address, port);
  return Status(bind(Fd(handle), reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress));
}

int BoundPort(SocketHandle handle, int* port) {
  sockaddr_in socketAddress{};
  socklen_t length = sizeof socketAddress;
  if (getsockname(Fd(handle), reinterpret_cast<sockaddr*>(&socketAddress), &length) != 0) return errno;
  *port = ntohs(socketAddress.sin_port);
  return 0;
}

int ListenSocket(SocketHandle handle, int backlog) { return Status(listen(Fd(handle), backlog)); }

int AcceptSocket(SocketHandle listener, SocketHandle* accepted) {
  int fd;
  do {
    fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  *accepted = fd;
  return 0;
}

int ConnectSocket(SocketHandle handle, std::uint32_t address, int port) {
  sockaddr_in socketAddress = MakeAddress(address, port);
  return Status(connect(Fd(handle), reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress));
}

int ShutdownSocket(SocketHandle handle) { return Status(shutdown(Fd(handle), SHUT_RDWR)); }

int CloseSocket(SocketHandle handle) { return Status(close(Fd(handle))); }

namespace {

int Receive(SocketHandle handle, char* buffer, std::size_t size, int flags, std::size_t* received) {
  ssize_t count;
  do {
    count = recv(Fd(handle), buffer, size, flags);
  } while (count < 0 && errno == EINTR);
  if (count < 0) return errno;
  *received = static_cast<std::size_t>(count);
  return 0;
}

}  // namespace

int PeekSocket(SocketHandle handle, char* buffer, std::size_t size, std::size_t* received) {
  return Receive(handle, buffer, size, MSG_PEEK, received);
}

int ReceiveSocket(SocketHandle handle, char* buffer, std::size_t size, std::size_t* received) {
  return Receive(handle, buffer, size, 0, received);
}

int SendSocket(SocketHandle handle, const char* data, std::size_t size, std::size_t* sent) {
  ssize_t count;
  do {
    count = send(Fd(handle), data, size, MSG_NOSIGNAL);
  } while (count < 0 && errno == EINTR);
  if (count < 0) return errno;
  *sent = static_cast<std::size_t>(count);
  return 0;
}

int SendWritesAtOnce(SocketHandle handle) {
  const int on = 1;
  return Status(setsockopt(Fd(handle), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on));
}

int SocketEndpoints(SocketHandle handle, std::uint32_t* localAddress, int* localPort,
                    std::uint32_t* peerAddress, int* peerPort) {
  sockaddr_in local{}, peer{};
  socklen_t localLength = sizeof local, peerLength = sizeof peer;
  if (getsockname(Fd(handle), reinterpret_cast<sockaddr*>(&local), &localLength) != 0) return errno;
  if (getpeername(Fd(handle), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) return errno;
  *localAddress = local.sin_addr.s_addr;
  *localPort = ntohs(local.sin_port);
  *peerAddress = peer.sin_addr.s_addr;
  *peerPort = ntohs(peer.sin_port);
  return 0;
}

bool IsWouldBlock(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

// accept4 also reports errors of the connection being taken (ECONNABORTED, EPROTO,
// network errors pending on it) and of the process (EMFILE, ENFILE, ENOBUFS, ENOMEM):
// only these codes speak of the listening descriptor itself.
bool IsListenerFault(int code) { return code == EBADF || code == EINVAL || code == ENOTSOCK || code == EFAULT; }

// listen() cuts a larger backlog down to net.core.somaxconn of the socket's network
// namespace, so the largest value asks for exactly that maximum.
int MaxListenBacklog() { return std::numeric_limits<int>::max(); }

}  // namespace platform
