#pragma once

#include <cstdint>

// Who owns the other end of a local TCP connection.
namespace platform {

struct SocketOwner {
  std::uint32_t uid = 0;     // the owning user
  std::uint64_t inode = 0;   // the socket's inode, to find the owning process
};

// Looks up the connected TCP socket whose own end is (address, port) and whose remote
// end is (remoteAddress, remotePort); addresses in network byte order. Sockets in a
// closing state count while a process may still hold them (after a half-close, for
// example); the kernel's time-wait and request minisockets name no owner and do not.
// Returns 0, or ENOENT when no such socket exists, or another errno.
int FindTcpSocketOwner(std::uint32_t address, int port, std::uint32_t remoteAddress, int remotePort,
                       SocketOwner* owner);

}  // namespace platform
