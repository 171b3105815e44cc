#pragma once

#include <cstddef>
#include <cstdint>

// Blocking IPv4 TCP sockets. Addresses are IPv4 values in network byte order, ports in
// host order. Every call returns 0 or the platform error code of the failed step.
namespace platform {

using SocketHandle = std::intptr_t;
constexpr SocketHandle kInvalidSocket = -1;

int OpenTcpSocket(SocketHandle* handle);
int BindSocket(SocketHandle handle, std::uint32_t address, int port);
int BoundPort(SocketHandle handle, int* port);
int ListenSocket(SocketHandle handle, int backlog);
int AcceptSocket(SocketHandle listener, SocketHandle* accepted);
int ConnectSocket(SocketHandle handle, std::uint32_t address, int port);
// Wakes a thread blocked in AcceptSocket on this listener and refuses further clients.
int ShutdownSocket(SocketHandle handle);
int CloseSocket(SocketHandle handle);

// Copies up to size bytes without consuming them; *received is 0 when the peer closed.
int PeekSocket(SocketHandle handle, char* buffer, std::size_t size, std::size_t* received);
// Consumes up to size bytes; *received is 0 when the peer closed.
int ReceiveSocket(SocketHandle handle, char* buffer, std::size_t size, std::size_t* received);
// Sends the whole buffer in one call; a closed peer is an error, never a signal.
int SendSocket(SocketHandle handle, const char* data, std::size_t size, std::size_t* sent);

// Sends every write at once instead of holding a small one back until the earlier data
// is acknowledged: peers delay their acknowledgements, so a held reply waits ~40 ms.
int SendWritesAtOnce(SocketHandle handle);

// Local and peer endpoints of a connected socket.
int SocketEndpoints(SocketHandle handle, std::uint32_t* localAddress, int* localPort,
                    std::uint32_t* peerAddress, int* peerPort);

// The platform code for "operation would block", told apart by the accept loop.
bool IsWouldBlock(int code);

// True when a failed accept says the listening socket itself is unusable. Any other
// failure (descriptors, memory or buffers exhausted, a connection that went away before
// it was taken) leaves the listener intact: a later accept may succeed.
bool IsListenerFault(int code);

// A backlog that asks for the longest queue of pending connections the system allows.
int MaxListenBacklog();

}  // namespace platform
