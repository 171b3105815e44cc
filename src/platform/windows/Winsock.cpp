#include "platform/windows/Winsock.h"

#include "platform/windows/Win32Error.h"

#include <winsock2.h>
#include <windows.h>

#include <mutex>

namespace platform {
namespace {

std::mutex winsockMutex;
int winsockUsers = 0;

// A socket handle that child processes inherit would keep a listener's port or a
// client connection alive after the service closed it.
SOCKET OpenNonInheritable(int type, int protocol) {
  SOCKET socket =
      ::WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (socket != INVALID_SOCKET || ::WSAGetLastError() != WSAEINVAL) return socket;
  // Systems before Windows 7 SP1 refuse the flag: clear the inheritance afterwards.
  socket = ::WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (socket != INVALID_SOCKET) ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  return socket;
}

}  // namespace

int AcquireWinsock() {
  std::lock_guard<std::mutex> lock(winsockMutex);
  if (winsockUsers == 0) {
    WSADATA data;
    const int error = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0) return error;
  }
  ++winsockUsers;
  return 0;
}

void ReleaseWinsock() {
  std::lock_guard<std::mutex> lock(winsockMutex);
  if (winsockUsers == 0) return;
  if (--winsockUsers == 0) ::WSACleanup();
}

int WinsockUsers() {
  std::lock_guard<std::mutex> lock(winsockMutex);
  return winsockUsers;
}

Error OpenCountedSocket(int type, int protocol, SocketHandle* handle) {
  const int startError = AcquireWinsock();
  if (startError != 0) return Win32Error(static_cast<unsigned long>(startError), "socket");
  const SOCKET socket = OpenNonInheritable(type, protocol);
  if (socket == INVALID_SOCKET) {
    const Error error = LastWinsockError("socket");
    ReleaseWinsock();
    return error;
  }
  *handle = static_cast<SocketHandle>(socket);
  return Error::Success();
}

Error LastWinsockError(const char* step) { return Win32Error(static_cast<unsigned long>(::WSAGetLastError()), step); }

}  // namespace platform
