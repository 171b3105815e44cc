// What every backend of the local socket seam promises: a listener at a local address
// is reached and named, a closed one or a malformed address is refused.
#include <gtest/gtest.h>

#include <string>

#include "SeamFixture.h"
#include "platform/LocalSocket.h"
#include "platform/ProcessInfo.h"

namespace vortan {
namespace {

TEST(LocalSocketContract, AListenerIsReachedAndNamedUntilItCloses) {
  test::SeamFixture fixture;
  const std::string address = fixture.ListenLocally();
  ASSERT_FALSE(address.empty());
  EXPECT_TRUE(platform::IsLocalSocketListening(address));
  EXPECT_EQ(platform::IsSocketFile(address), platform::LocalSocketsAreFiles());
  platform::SocketHandle handle = platform::kInvalidSocket;
  ASSERT_TRUE(platform::ConnectLocalSocket(address, &handle).Succeeded());
  std::uint32_t process = 0;
  const platform::Error named = platform::LocalPeerProcess(handle, &process);
  if (fixture.NamesSocketOwners()) {
    EXPECT_TRUE(named.Succeeded()) << named.Code();
    EXPECT_EQ(process, platform::CurrentProcessId());
  } else {
    EXPECT_TRUE(platform::IsNotFound(named)) << named.Code();
  }
  EXPECT_TRUE(platform::CloseSocket(handle).Succeeded());

  fixture.StopListeningLocally();
  EXPECT_FALSE(platform::IsLocalSocketListening(address));
  handle = platform::kInvalidSocket;
  EXPECT_TRUE(platform::ConnectLocalSocket(address, &handle).Failed());
  EXPECT_EQ(handle, platform::kInvalidSocket);
}

TEST(LocalSocketContract, AnAddressNoLocalSocketCanHaveIsRefused) {
  const std::string refused[] = {"", std::string(platform::MaxLocalSocketPath() + 1, '1')};
  for (const std::string& address : refused) {
    platform::SocketHandle handle = platform::kInvalidSocket;
    EXPECT_TRUE(platform::ConnectLocalSocket(address, &handle).Failed()) << address;
    EXPECT_EQ(handle, platform::kInvalidSocket) << address;
    EXPECT_FALSE(platform::IsLocalSocketListening(address)) << address;
  }
}

}  // namespace
}  // namespace vortan
