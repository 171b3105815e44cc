#include "platform/LocalSocket.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <cstring>
#include <vector>

#include "platform/windows/TcpOwnerTable.h"
#include "platform/windows/Win32Error.h"
#include "platform/windows/Winsock.h"

// OpenVPN for Windows offers its management interface on TCP only: a local socket here
// is a loopback TCP endpoint, "address:port".
namespace platform {
namespace {

constexpr std::size_t kLongestEndpoint = sizeof "255.255.255.255:65535" - 1;
constexpr unsigned char kLoopbackNetwork = 127;

struct Endpoint {
  std::uint32_t address = 0;  // network byte order
  int port = 0;
};

bool IsDecimal(const std::string& text) {
  return !text.empty() && text.size() <= 5 && text.find_first_not_of("0123456789") == std::string::npos;
}

// Only loopback endpoints: a local socket never leaves the machine.
bool ParseEndpoint(const std::string& text, Endpoint* endpoint) {
  const std::string::size_type colon = text.rfind(':');
  if (colon == std::string::npos || text.size() > kLongestEndpoint) return false;
  const std::string portText = text.substr(colon + 1);
  if (!IsDecimal(portText)) return false;
  const int port = std::stoi(portText);
  in_addr address{};
  if (port <= 0 || port > 65535 || ::inet_pton(AF_INET, text.substr(0, colon).c_str(), &address) != 1) return false;
  if (reinterpret_cast<const unsigned char*>(&address.s_addr)[0] != kLoopbackNetwork) return false;
  endpoint->address = address.s_addr;
  endpoint->port = port;
  return true;
}

bool EndpointOf(SOCKET handle, bool peer, Endpoint* endpoint) {
  sockaddr_in address{};
  int length = sizeof address;
  const int result = peer ? ::getpeername(handle, reinterpret_cast<sockaddr*>(&address), &length)
                          : ::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length);
  if (result != 0 || address.sin_family != AF_INET) return false;
  endpoint->address = address.sin_addr.s_addr;
  endpoint->port = ntohs(address.sin_port);
  return true;
}

}  // namespace

bool LocalSocketsAreFiles() { return false; }

std::size_t MaxLocalSocketPath() { return kLongestEndpoint; }

Error ConnectLocalSocket(const std::string& path, SocketHandle* handle) {
  Endpoint endpoint;
  if (!ParseEndpoint(path, &endpoint)) return Win32Error(WSAEINVAL, "local socket endpoint");
  SocketHandle counted = kInvalidSocket;
  const Error opened = OpenCountedSocket(SOCK_STREAM, IPPROTO_TCP, &counted);
  if (opened.Failed()) return opened;
  const auto socket = static_cast<SOCKET>(counted);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = endpoint.address;
  address.sin_port = htons(static_cast<u_short>(endpoint.port));
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const Error error = LastWinsockError("connect");
    CloseSocket(counted);
    return error;
  }
  *handle = counted;
  return Error::Success();
}

// The peer's own socket in the system's TCP table names its process: its end is our
// peer, its remote end is us.
Error LocalPeerProcess(SocketHandle handle, std::uint32_t* processId) {
  Endpoint local;
  Endpoint peer;
  const auto socket = static_cast<SOCKET>(handle);
  if (!EndpointOf(socket, false, &local) || !EndpointOf(socket, true, &peer)) return LastWinsockError("endpoints");
  std::vector<TcpOwnerRow> rows;
  if (const int error = SystemTcpOwnerTable().ReadRows(&rows)) {
    return Win32Error(static_cast<unsigned long>(error), "GetExtendedTcpTable");
  }
  const std::uint32_t owner = ConnectedOwnerProcess(rows, peer.address, peer.port, local.address, local.port);
  if (owner == 0) return Win32Error(ERROR_NOT_FOUND, "GetExtendedTcpTable");
  *processId = owner;
  return Error::Success();
}

// There are no socket files to remove.
bool IsSocketFile(const std::string&) { return false; }

bool IsLocalSocketListening(const std::string& path) {
  Endpoint endpoint;
  std::vector<TcpOwnerRow> rows;
  if (!ParseEndpoint(path, &endpoint) || SystemTcpOwnerTable().ReadRows(&rows) != 0) return false;
  for (const TcpOwnerRow& row : rows) {
    if (row.state == MIB_TCP_STATE_LISTEN && row.localPort == endpoint.port &&
        (row.localAddress == endpoint.address || row.localAddress == INADDR_ANY)) {
      return true;
    }
  }
  return false;
}

}  // namespace platform
