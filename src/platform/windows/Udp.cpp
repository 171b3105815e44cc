#include "platform/Udp.h"

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <climits>

#include "platform/windows/Win32Error.h"
#include "platform/windows/WideText.h"
#include "platform/windows/Winsock.h"

namespace platform {
namespace {

SOCKET Sock(SocketHandle handle) { return static_cast<SOCKET>(handle); }

// The resolver needs the library started even when no socket is open.
class WinsockUse {
 public:
  WinsockUse() : error_(AcquireWinsock()) {}
  ~WinsockUse() {
    if (error_ == 0) ReleaseWinsock();
  }
  WinsockUse(const WinsockUse&) = delete;
  WinsockUse& operator=(const WinsockUse&) = delete;
  int Error() const { return error_; }

 private:
  int error_;
};

std::string TrimLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

Error OpenUdpSocket(SocketHandle* handle) {
  return OpenCountedSocket(SOCK_DGRAM, IPPROTO_UDP, handle);
}

Error SetNonBlocking(SocketHandle handle) {
  u_long on = 1;
  if (::ioctlsocket(Sock(handle), FIONBIO, &on) != 0) return LastWinsockError("ioctlsocket");
  return Error::Success();
}

Error EnableBroadcast(SocketHandle handle) {
  const BOOL on = TRUE;
  if (::setsockopt(Sock(handle), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
    return LastWinsockError("setsockopt");
  }
  return Error::Success();
}

Error SendDatagram(SocketHandle handle, std::uint32_t address, int port, const char* data, std::size_t size,
                   std::size_t* sent) {
  if (size > static_cast<std::size_t>(INT_MAX)) return Win32Error(WSAEMSGSIZE, "sendto");
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_port = ::htons(static_cast<u_short>(port));
  destination.sin_addr.s_addr = address;
  const int count = ::sendto(Sock(handle), data, static_cast<int>(size), 0, reinterpret_cast<sockaddr*>(&destination),
                             sizeof destination);
  if (count == SOCKET_ERROR) return LastWinsockError("sendto");
  *sent = static_cast<std::size_t>(count);
  return Error::Success();
}

// getaddrinfo reports its failures as Winsock codes (WSAHOST_NOT_FOUND and friends).
Error ResolveIpv4(const std::string& host, std::uint32_t* address) {
  WinsockUse winsock;
  if (winsock.Error() != 0) return Win32Error(static_cast<unsigned long>(winsock.Error()), "WSAStartup");
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (error != 0) return Win32Error(static_cast<unsigned long>(error), "getaddrinfo");
  *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return Error::Success();
}

std::string ResolveErrorText(const Error& error) {
  const auto code = error.Code();
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return "resolver error " + std::to_string(code);
  std::string message = WideToUtf8(std::wstring(text, length));
  ::LocalFree(text);
  return TrimLineEnd(message);
}

}  // namespace platform
