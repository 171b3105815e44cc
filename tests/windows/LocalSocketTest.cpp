// OpenVPN for Windows has no local-socket management interface: the seam says so.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include "platform/LocalSocket.h"

namespace vortan {
namespace {

TEST(WindowsLocalSocket, EveryCallSaysItIsNotSupported) {
  platform::SocketHandle handle = platform::kInvalidSocket;
  EXPECT_EQ(platform::ConnectLocalSocket("C:\\x\\management.sock", &handle), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(handle, platform::kInvalidSocket);
  std::uint32_t process = 7;
  EXPECT_EQ(platform::LocalPeerProcess(handle, &process), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(platform::IsSocketFile("C:\\x\\management.sock"));
  EXPECT_FALSE(platform::IsLocalSocketListening("C:\\x\\management.sock"));
}

}  // namespace
}  // namespace vortan
