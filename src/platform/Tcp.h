#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Error.h"

// Blocking IPv4 TCP sockets. Addresses are IPv4 values in network byte order, ports in
// host order. Every call returns success or the platform error of the failed step.
namespace platform {

using SocketHandle = std::intptr_t;
constexpr SocketHandle kInvalidSocket = -1;

Error OpenTcpSocket(SocketHandle* handle);
Error BindSocket(SocketHandle handle, std::uint32_t address, int port);
Error BoundPort(SocketHandle handle, int* port);
Error ListenSocket(SocketHandle handle, int backlog);
Error AcceptSocket(SocketHandle listener, SocketHandle* accepted);
Error ConnectSocket(SocketHandle handle, std::uint32_t address, int port);
// Wakes a thread blocked in AcceptSocket on this listener and refuses further clients.
Error ShutdownSocket(SocketHandle handle);
Error CloseSocket(SocketHandle handle);

// Copies up to size bytes without consuming them; *received is 0 when the peer closed.
Error PeekSocket(SocketHandle handle, char* buffer, std::size_t size, std::size_t* received);
// Consumes up to size bytes; *received is 0 when the peer closed.
Error ReceiveSocket(SocketHandle handle, char* buffer, std::size_t size, std::size_t* received);
// Sends the whole buffer in one call; a closed peer is an error, never a signal.
Error SendSocket(SocketHandle handle, const char* data, std::size_t size, std::size_t* sent);

// Sends every write at once instead of holding a small one back until the earlier data
// is acknowledged: peers delay their acknowledgements, so a held reply waits ~40 ms.
Error SendWritesAtOnce(SocketHandle handle);

// Local and peer endpoints of a connected socket.
Error SocketEndpoints(SocketHandle handle, std::uint32_t* localAddress, int* localPort,
                      std::uint32_t* peerAddress, int* peerPort);

// True when a failed accept says the listening socket itself is unusable. Any other
// failure (descriptors, memory or buffers exhausted, a connection that went away before
// it was taken) leaves the listener intact: a later accept may succeed.
bool IsListenerFault(const Error& error);

// A backlog that asks for the longest queue of pending connections the system allows.
int MaxListenBacklog();

}  // namespace platform
