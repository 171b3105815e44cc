#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Tcp.h"

// Local (Unix-domain) stream sockets: a channel that file permissions guard, for
// talking to the service's own children. Calls return 0 or the platform error code.
namespace platform {

// Longest socket path a local socket address can hold.
std::size_t MaxLocalSocketPath();

// Opens a stream socket and connects it to the socket file at path.
int ConnectLocalSocket(const std::string& path, SocketHandle* handle);

// The process that listens at the other end of a connected local socket, as the
// kernel recorded it when that process called listen().
int LocalPeerProcess(SocketHandle handle, std::uint32_t* processId);

// True when path names a socket file.
bool IsSocketFile(const std::string& path);

// True when a socket bound to path accepts connections (the file exists from the
// bind on, a little before its owner listens).
bool IsLocalSocketListening(const std::string& path);

}  // namespace platform
