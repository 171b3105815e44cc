// Local sockets on Windows are loopback TCP endpoints named "address:port".
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "platform/LocalSocket.h"

namespace vortan {
namespace {

// A listener on a loopback port the system chose.
class LoopbackListener {
 public:
  LoopbackListener() {
    WSADATA data;
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(socket_, 1);
    ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~LoopbackListener() {
    Close();
    if (started_) ::WSACleanup();
  }
  void Close() {
    if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }
  std::string Endpoint() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  bool started_ = false;
  SOCKET socket_ = INVALID_SOCKET;
  int port_ = 0;
};

TEST(WindowsLocalSocket, ALocalSocketIsALoopbackEndpoint) {
  EXPECT_FALSE(platform::LocalSocketsAreFiles());
  LoopbackListener listener;
  EXPECT_TRUE(platform::IsLocalSocketListening(listener.Endpoint()));
  EXPECT_FALSE(platform::IsSocketFile(listener.Endpoint()));
  platform::SocketHandle handle = platform::kInvalidSocket;
  ASSERT_EQ(platform::ConnectLocalSocket(listener.Endpoint(), &handle).Code(), 0);
  // Wine names no owner process for any socket; Windows names this one.
  std::uint32_t process = 0;
  const int result = platform::LocalPeerProcess(handle, &process).Code();
  if (result == 0) {
    EXPECT_EQ(process, ::GetCurrentProcessId());
  } else {
    EXPECT_EQ(result, ERROR_NOT_FOUND);
  }
  ::closesocket(static_cast<SOCKET>(handle));
  const std::string endpoint = listener.Endpoint();
  listener.Close();
  EXPECT_FALSE(platform::IsLocalSocketListening(endpoint));
  EXPECT_EQ(platform::ConnectLocalSocket(endpoint, &handle).Code(), WSAECONNREFUSED);
}

// Only loopback endpoints in their plain form are taken.
TEST(WindowsLocalSocket, AnythingButALoopbackEndpointIsRefused) {
  const std::string refused[] = {
      "C:\\run\\management.sock", "10.0.0.1:7505", "127.0.0.1", "127.0.0.1:",   "127.0.0.1:0",
      "127.0.0.1:65536",          "127.0.0.1:75x", ":7505",     "127.0.0.1:-1", "localhost:7505",
      "127.0.0.1:123456"};
  for (const std::string& path : refused) {
    platform::SocketHandle handle = platform::kInvalidSocket;
    EXPECT_EQ(platform::ConnectLocalSocket(path, &handle).Code(), WSAEINVAL) << path;
    EXPECT_EQ(handle, platform::kInvalidSocket) << path;
    EXPECT_FALSE(platform::IsLocalSocketListening(path)) << path;
  }
  EXPECT_EQ(platform::MaxLocalSocketPath(), std::string("255.255.255.255:65535").size());
}

}  // namespace
}  // namespace vortan
