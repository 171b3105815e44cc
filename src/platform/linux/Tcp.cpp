#include "platform/Tcp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <limits>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/linux/ErrnoError.h"

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

Error Status(int result, const char* step) { return result == 0 ? Error::Success() : ErrnoError(errno, step); }

}  // namespace

Error OpenTcpSocket(SocketHandle* handle) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return ErrnoError(errno, "socket");
  *handle = fd;
  return Error::Success();
}

Error BindSocket(SocketHandle handle, std::uint32_t address, int port) {
  sockaddr_in socketAddress = MakeAddress(address, port);
  return Status(bind(Fd(handle), reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress), "bind");
}

Error BoundPort(SocketHandle handle, int* port) {
  sockaddr_in socketAddress{};
  socklen_t length = sizeof socketAddress;
  if (getsockname(Fd(handle), reinterpret_cast<sockaddr*>(&socketAddress), &length) != 0) {
    return ErrnoError(errno, "getsockname");
  }
  *port = ntohs(socketAddress.sin_port);
  return Error::Success();
}

Error ListenSocket(SocketHandle handle, int backlog) { return Status(listen(Fd(handle), backlog), "listen"); }

Error AcceptSocket(SocketHandle listener, SocketHandle* accepted) {
  int fd;
  do {
    fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ErrnoError(errno, "accept4");
  *accepted = fd;
  return Error::Success();
}

Error ConnectSocket(SocketHandle handle, std::uint32_t address, int port) {
  sockaddr_in socketAddress = MakeAddress(address, port);
  return Status(connect(Fd(handle), reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress), "connect");
}

Error ShutdownSocket(SocketHandle handle) { return Status(shutdown(Fd(handle), SHUT_RDWR), "shutdown"); }

Error CloseSocket(SocketHandle handle) { return Status(close(Fd(handle)), "close"); }

namespace {

Error Receive(SocketHandle handle, char* buffer, std::size_t size, int flags, std::size_t* received) {
  ssize_t count;
  do {
    count = recv(Fd(handle), buffer, size, flags);
  } while (count < 0 && errno == EINTR);
  if (count < 0) return ErrnoError(errno, "recv");
  *received = static_cast<std::size_t>(count);
  return Error::Success();
}

}  // namespace

Error PeekSocket(SocketHandle handle, char* buffer, std::size_t size, std::size_t* received) {
  return Receive(handle, buffer, size, MSG_PEEK, received);
}

Error ReceiveSocket(SocketHandle handle, char* buffer, std::size_t size, std::size_t* received) {
  return Receive(handle, buffer, size, 0, received);
}

Error SendSocket(SocketHandle handle, const char* data, std::size_t size, std::size_t* sent) {
  ssize_t count;
  do {
    count = send(Fd(handle), data, size, MSG_NOSIGNAL);
  } while (count < 0 && errno == EINTR);
  if (count < 0) return ErrnoError(errno, "send");
  *sent = static_cast<std::size_t>(count);
  return Error::Success();
}

Error SendWritesAtOnce(SocketHandle handle) {
  const int on = 1;
  return Status(setsockopt(Fd(handle), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on), "setsockopt(TCP_NODELAY)");
}

Error SocketEndpoints(SocketHandle handle, std::uint32_t* localAddress, int* localPort,
                      std::uint32_t* peerAddress, int* peerPort) {
  sockaddr_in local{}, peer{};
  socklen_t localLength = sizeof local, peerLength = sizeof peer;
  if (getsockname(Fd(handle), reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
    return ErrnoError(errno, "getsockname");
  }
  if (getpeername(Fd(handle), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
    return ErrnoError(errno, "getpeername");
  }
  *localAddress = local.sin_addr.s_addr;
  *localPort = ntohs(local.sin_port);
  *peerAddress = peer.sin_addr.s_addr;
  *peerPort = ntohs(peer.sin_port);
  return Error::Success();
}

// accept4 also reports errors of the connection being taken (ECONNABORTED, EPROTO,
// network errors pending on it) and of the process (EMFILE, ENFILE, ENOBUFS, ENOMEM):
// only these codes speak of the listening descriptor itself.
bool IsListenerFault(const Error& error) {
  const NativeErrorCode code = error.Code();
  return code == EBADF || code == EINVAL || code == ENOTSOCK || code == EFAULT;
}

// listen() cuts a larger backlog down to net.core.somaxconn of the socket's network
// namespace, so the largest value asks for exactly that maximum.
int MaxListenBacklog() { return std::numeric_limits<int>::max(); }

}  // namespace platform
