#include "platform/Udp.h"

#include "platform/ProcessInfo.h"
#include "platform/linux/ErrnoError.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

namespace platform {
namespace {

int Fd(SocketHandle handle) { return static_cast<int>(handle); }

}  // namespace

Error OpenUdpSocket(SocketHandle* handle) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return ErrnoError(errno, "socket");
  *handle = fd;
  return Error();
}

Error SetNonBlocking(SocketHandle handle) {
  int flags = fcntl(Fd(handle), F_GETFL);
  if (flags < 0 || fcntl(Fd(handle), F_SETFL, flags | O_NONBLOCK) != 0) return ErrnoError(errno, "fcntl");
  return Error();
}

Error EnableBroadcast(SocketHandle handle) {
  int on = 1;
  if (setsockopt(Fd(handle), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return ErrnoError(errno, "setsockopt");
  return Error();
}

Error SendDatagram(SocketHandle handle, std::uint32_t address, int port, const char* data, std::size_t size,
                   std::size_t* sent) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(static_cast<std::uint16_t>(port));
  destination.sin_addr.s_addr = address;
  ssize_t count;
  do {
    count = sendto(Fd(handle), data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&destination),
                   sizeof destination);
  } while (count < 0 && errno == EINTR);
  if (count < 0) return ErrnoError(errno, "sendto");
  *sent = static_cast<std::size_t>(count);
  return Error();
}

// A resolver failure is reported as its (negative) resolver code; a system failure
// inside the resolver as its errno.
Error ResolveIpv4(const std::string& host, std::uint32_t* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  int error = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (error == EAI_SYSTEM) return ErrnoError(errno, "getaddrinfo");
  if (error != 0) return Error(ErrorKind::Other, error, "getaddrinfo");
  *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return Error();
}

std::string ResolveErrorText(const Error& error) {
  return error.Code() < 0 ? gai_strerror(static_cast<int>(error.Code())) : ErrorText(error.Code());
}

}  // namespace platform
