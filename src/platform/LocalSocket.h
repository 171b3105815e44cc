#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Tcp.h"

// Local stream sockets, for talking to the service's own children. Where the children
// take Unix-domain sockets, a local socket is a socket file that file permissions
// guard. Elsewhere it is a loopback TCP endpoint, named "address:port" (address in
// dotted form, 127.0.0.0/8 only), that any local process may reach: its users guard it
// themselves. Calls return success or the platform error.
namespace platform {

// True when local sockets are socket files that file permissions guard; false when
// they are loopback TCP endpoints open to every local process.
bool LocalSocketsAreFiles();

// Longest socket path (or endpoint text) a local socket address can hold.
std::size_t MaxLocalSocketPath();

// Opens a stream socket and connects it to the local socket at path.
Error ConnectLocalSocket(const std::string& path, SocketHandle* handle);

// The process that listens at the other end of a connected local socket (for a socket
// file, as the kernel recorded it when that process called listen()).
Error LocalPeerProcess(SocketHandle handle, std::uint32_t* processId);

// True when path names a socket file.
bool IsSocketFile(const std::string& path);

// True when a socket bound to path accepts connections (a socket file exists from the
// bind on, a little before its owner listens).
bool IsLocalSocketListening(const std::string& path);

}  // namespace platform
