#include "platform/Tcp.h"

#include <winsock2.h>
#include <windows.h>

#include <climits>
#include <mutex>
#include <set>

#include "platform/windows/Win32Error.h"
#include "platform/windows/Winsock.h"

namespace platform {
namespace {

SOCKET Sock(SocketHandle handle) { return static_cast<SOCKET>(handle); }

sockaddr_in MakeAddress(std::uint32_t address, int port) {
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_port = ::htons(static_cast<u_short>(port));
  socketAddress.sin_addr.s_addr = address;
  return socketAddress;
}

Error Status(int result, const char* step) { return result == 0 ? Error::Success() : LastWinsockError(step); }

// Winsock lengths are ints; one call moves at most INT_MAX bytes.
int Length(std::size_t size) { return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size); }

// Listeners that ShutdownSocket closed while their owner still holds the handle. Winsock
// cannot wake a blocked accept by shutting the listener down (shutdown fails with
// WSAENOTCONN and accept stays blocked): only closing it does. The owner's own
// CloseSocket then must not close the handle again, as the value may belong to a new
// socket by then. Each entry stands for one close already done: it absorbs exactly one
// CloseSocket of that value, so every socket carrying the value is closed exactly once.
std::mutex closedListenersMutex;
std::multiset<SocketHandle> closedListeners;

bool IsListening(SocketHandle handle) {
  BOOL listening = FALSE;
  int length = sizeof listening;
  if (::getsockopt(Sock(handle), SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening), &length) != 0) {
    return false;
  }
  return listening != FALSE;
}

Error Receive(SocketHandle handle, char* buffer, std::size_t size, int flags, std::size_t* received) {
  const int count = ::recv(Sock(handle), buffer, Length(size), flags);
  if (count == SOCKET_ERROR) return LastWinsockError("recv");
  *received = static_cast<std::size_t>(count);
  return Error::Success();
}

}  // namespace

Error OpenTcpSocket(SocketHandle* handle) {
  return OpenCountedSocket(SOCK_STREAM, IPPROTO_TCP, handle);
}

// Without SO_EXCLUSIVEADDRUSE another local program could bind the same address and
// port with SO_REUSEADDR and take over connections meant for the service.
Error BindSocket(SocketHandle handle, std::uint32_t address, int port) {
  const BOOL exclusive = TRUE;
  if (::setsockopt(Sock(handle), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                   sizeof exclusive) != 0) {
    return LastWinsockError("setsockopt(SO_EXCLUSIVEADDRUSE)");
  }
  sockaddr_in socketAddress = MakeAddress(address, port);
  return Status(::bind(Sock(handle), reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress), "bind");
}

Error BoundPort(SocketHandle handle, int* port) {
  sockaddr_in socketAddress{};
  int length = sizeof socketAddress;
  if (::getsockname(Sock(handle), reinterpret_cast<sockaddr*>(&socketAddress), &length) != 0) {
    return LastWinsockError("getsockname");
  }
  *port = ::ntohs(socketAddress.sin_port);
  return Error::Success();
}

Error ListenSocket(SocketHandle handle, int backlog) { return Status(::listen(Sock(handle), backlog), "listen"); }

Error AcceptSocket(SocketHandle listener, SocketHandle* accepted) {
  const SOCKET socket = ::accept(Sock(listener), nullptr, nullptr);
  if (socket == INVALID_SOCKET) return LastWinsockError("accept");
  const int startError = AcquireWinsock();
  if (startError != 0) {
    ::closesocket(socket);
    return Win32Error(static_cast<unsigned long>(startError), "WSAStartup");
  }
  // An accepted socket need not take over the listener's WSA_FLAG_NO_HANDLE_INHERIT.
  ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  *accepted = static_cast<SocketHandle>(socket);
  return Error::Success();
}

Error ConnectSocket(SocketHandle handle, std::uint32_t address, int port) {
  sockaddr_in socketAddress = MakeAddress(address, port);
  return Status(::connect(Sock(handle), reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress), "connect");
}

Error ShutdownSocket(SocketHandle handle) {
  if (!IsListening(handle)) return Status(::shutdown(Sock(handle), SD_BOTH), "shutdown");
  std::lock_guard<std::mutex> lock(closedListenersMutex);
  if (::closesocket(Sock(handle)) != 0) return LastWinsockError("closesocket");
  closedListeners.insert(handle);
  return Error::Success();
}

Error CloseSocket(SocketHandle handle) {
  {
    std::lock_guard<std::mutex> lock(closedListenersMutex);
    auto closed = closedListeners.find(handle);
    if (closed != closedListeners.end()) {
      closedListeners.erase(closed);
      ReleaseWinsock();
      return Error::Success();
    }
  }
  if (::closesocket(Sock(handle)) != 0) return LastWinsockError("closesocket");
  ReleaseWinsock();
  return Error::Success();
}

Error PeekSocket(SocketHandle handle, char* buffer, std::size_t size, std::size_t* received) {
  return Receive(handle, buffer, size, MSG_PEEK, received);
}

Error ReceiveSocket(SocketHandle handle, char* buffer, std::size_t size, std::size_t* received) {
  return Receive(handle, buffer, size, 0, received);
}

// Windows raises no signal for a closed peer: the send fails with WSAECONNRESET or
// WSAECONNABORTED. A blocking send returns only once the whole buffer is queued.
Error SendSocket(SocketHandle handle, const char* data, std::size_t size, std::size_t* sent) {
  const int count = ::send(Sock(handle), data, Length(size), 0);
  if (count == SOCKET_ERROR) return LastWinsockError("send");
  *sent = static_cast<std::size_t>(count);
  return Error::Success();
}

Error SendWritesAtOnce(SocketHandle handle) {
  const BOOL on = TRUE;
  return Status(::setsockopt(Sock(handle), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on),
                "setsockopt(TCP_NODELAY)");
}

Error SocketEndpoints(SocketHandle handle, std::uint32_t* localAddress, int* localPort, std::uint32_t* peerAddress,
                      int* peerPort) {
  sockaddr_in local{}, peer{};
  int localLength = sizeof local, peerLength = sizeof peer;
  if (::getsockname(Sock(handle), reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
    return LastWinsockError("getsockname");
  }
  if (::getpeername(Sock(handle), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
    return LastWinsockError("getpeername");
  }
  *localAddress = local.sin_addr.s_addr;
  *localPort = ::ntohs(local.sin_port);
  *peerAddress = peer.sin_addr.s_addr;
  *peerPort = ::ntohs(peer.sin_port);
  return Error::Success();
}

// A listener closed under a blocked accept ends it with WSAEINTR (Windows) or
// ERROR_OPERATION_ABORTED (Wine); a handle that is no (listening) socket any more, or a
// library that is gone, can accept nothing again. Resets of the connection being taken
// (WSAECONNRESET) and exhausted buffers or descriptors (WSAENOBUFS, WSAEMFILE) pass.
bool IsListenerFault(const Error& error) {
  switch (error.Code()) {
    case WSAEINTR:
    case ERROR_OPERATION_ABORTED:
    case WSAENOTSOCK:
    case WSAEINVAL:
    case WSAEFAULT:
    case WSAEOPNOTSUPP:
    case WSAENETDOWN:
    case WSANOTINITIALISED:
      return true;
    default:
      return false;
  }
}

int MaxListenBacklog() { return SOMAXCONN; }

}  // namespace platform
