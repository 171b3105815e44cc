// Local sockets on Windows are loopback TCP endpoints named "address:port" (what every
// system promises of them: tests/unit/LocalSocketContractTest.cpp).
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "platform/LocalSocket.h"

namespace vortan {
namespace {

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
  EXPECT_FALSE(platform::LocalSocketsAreFiles());
}

}  // namespace
}  // namespace vortan
