// The kernel facts the privilege checks rest on: who owns a loopback client's
// socket, and a per-thread file identity that the kernel enforces.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <future>
#include <optional>
#include <thread>

#include "common/Ipv4.h"
#include "TestSupport.h"
#include "TestUser.h"
#include "platform/SocketOwner.h"
#include "platform/linux/FileIdentity.h"
#include "platform/linux/NativeIdentity.h"
#include "common/socket.h"

namespace vortan {
namespace {

using namespace std::chrono_literals;

const std::uint32_t kLoopback = HostToNet(0x7F000001);

TEST(SocketOwner, NamesTheUserBehindALoopbackClient) {
  test::TestUser user;
  ASSERT_TRUE(user.Created());
  SocketServer server(kLoopback, 0, 5);
  // The client stays connected until it is told to go.
  test::AsUser child(user, [&](test::AsUser& self) {
    test::LineClient client("127.0.0.1", server.BoundPort());
    self.AwaitGoAhead();
    self.Report(client.Connected() ? "connected" : "not connected");
  });
  std::unique_ptr<Socket> connection = server.Accept();
  std::uint32_t local = 0, peer = 0;
  int localPort = 0, peerPort = 0;
  ASSERT_TRUE(connection->Endpoints(&local, &localPort, &peer, &peerPort));
  std::optional<platform::CallerIdentity> owner;
  EXPECT_EQ(platform::FindTcpSocketOwner(peer, peerPort, local, localPort, &owner).Code(), 0);
  ASSERT_TRUE(owner.has_value());
  EXPECT_EQ(platform::UserIdOf(*owner), user.Uid());
  EXPECT_FALSE(platform::IsPrivileged(*owner));
  child.GoAhead();
  EXPECT_EQ(child.Next(), "connected");
}

bool CanCreate(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// The calling thread's effective capabilities (the first 32 hold CAP_SYS_PTRACE).
std::uint32_t EffectiveCapabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  syscall(SYS_capget, &header, data);
  return data[0].effective;
}

TEST(ScopedFileIdentity, TheKernelEnforcesTheUsersRightsOnThisThreadOnly) {
  const std::uint32_t capabilitiesBefore = EffectiveCapabilities();
  test::TestUser user;
  ASSERT_TRUE(user.Created());
  const std::string rootDir = "/tmp/" + test::UniqueName("root");
  ASSERT_EQ(mkdir(rootDir.c_str(), 0755), 0);
  // A thread that exists before the switch keeps root's identity (a thread created
  // inside the scope would inherit the user's).
  std::promise<void> switched;
  std::future<bool> otherThreadCould = std::async(std::launch::async, [&] {
    switched.get_future().wait();
    return CanCreate(rootDir + "/other");
  });
  {
    platform::ScopedFileIdentity identity(user.Uid());
    ASSERT_EQ(identity.Error(), 0);
    EXPECT_EQ(EffectiveCapabilities(), 0u) << "capabilities such as CAP_SYS_PTRACE reach beyond the user";
    EXPECT_FALSE(CanCreate(rootDir + "/planted"));
    EXPECT_TRUE(CanCreate(user.Home() + "/mine"));
    switched.set_value();
    EXPECT_TRUE(otherThreadCould.get());
  }
  struct stat info {};
  ASSERT_EQ(stat((user.Home() + "/mine").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, user.Uid());
  EXPECT_TRUE(CanCreate(rootDir + "/after"));  // root again once the scope ends
  EXPECT_EQ(EffectiveCapabilities(), capabilitiesBefore);
  std::filesystem::remove_all(rootDir);
}

TEST(ScopedFileIdentity, UnknownUserIsReportedAndChangesNothing) {
  {
    platform::ScopedFileIdentity identity(4000000000u);
    EXPECT_NE(identity.Error(), 0);
  }
  const std::string path = "/tmp/" + test::UniqueName("root");
  EXPECT_TRUE(CanCreate(path));
  unlink(path.c_str());
}

}  // namespace
}  // namespace vortan
