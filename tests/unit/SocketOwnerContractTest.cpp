// What every backend of the socket owner seam promises for a connection of this process:
// its user while the process holds the client's socket, also after a shutdown, and no
// one once it is closed or for ends of no connection.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "SeamFixture.h"
#include "TestCommon.h"
#include "common/Ipv4.h"
#include "platform/SocketOwner.h"
#include "platform/Tcp.h"

namespace vortan {
namespace {

using platform::SocketHandle;

const std::uint32_t kLoopback = HostToNet(0x7F000001);

// A loopback connection of this process, made through the TCP seam.
struct Connection {
  Connection() {
    EXPECT_TRUE(platform::OpenTcpSocket(&listener).Succeeded());
    EXPECT_TRUE(platform::BindSocket(listener, kLoopback, 0).Succeeded());
    EXPECT_TRUE(platform::BoundPort(listener, &servicePort).Succeeded());
    EXPECT_TRUE(platform::ListenSocket(listener, 1).Succeeded());
    EXPECT_TRUE(platform::OpenTcpSocket(&client).Succeeded());
    EXPECT_TRUE(platform::ConnectSocket(client, kLoopback, servicePort).Succeeded());
    EXPECT_TRUE(platform::AcceptSocket(listener, &accepted).Succeeded());
    std::uint32_t local = 0, peer = 0;
    EXPECT_TRUE(platform::SocketEndpoints(accepted, &local, &servicePort, &peer, &clientPort).Succeeded());
  }
  ~Connection() {
    for (SocketHandle handle : {client, accepted, listener}) {
      if (handle != platform::kInvalidSocket) platform::CloseSocket(handle);
    }
  }
  SocketHandle listener = platform::kInvalidSocket;
  SocketHandle client = platform::kInvalidSocket;
  SocketHandle accepted = platform::kInvalidSocket;
  int servicePort = 0;
  int clientPort = 0;
};

enum class Owner { kThisProcess, kNone };

TEST(SocketOwnerContract, OnlyAClientSocketThisProcessHoldsNamesItsUser) {
  const test::SeamFixture fixture;
  const struct {
    const char* name;
    void (*before)(Connection&);
    int portOffset;
    Owner owner;
  } rows[] = {
      {"an open client", [](Connection&) {}, 0, Owner::kThisProcess},
      {"a client shut down but held", [](Connection& c) { platform::ShutdownSocket(c.client); }, 0, Owner::kThisProcess},
      {"no such connection", [](Connection&) {}, 1, Owner::kNone},
      {"a closed client", [](Connection& c) {
         platform::CloseSocket(c.client);
         c.client = platform::kInvalidSocket;
       }, 0, Owner::kNone},
  };
  for (const auto& row : rows) {
    Connection connection;
    row.before(connection);
    const int clientPort = connection.clientPort + row.portOffset;
    const int servicePort = connection.servicePort;
    const bool named = row.owner == Owner::kThisProcess && fixture.NamesSocketOwners();
    std::optional<platform::CallerIdentity> owner;
    // A closing socket may take a moment to be no one's.
    EXPECT_TRUE(test::WaitUntil(
        [&] {
          return platform::FindTcpSocketOwner(kLoopback, clientPort, kLoopback, servicePort, &owner).Succeeded() ==
                 named;
        },
        std::chrono::seconds(2)))
        << row.name;
    if (named) {
      ASSERT_TRUE(owner.has_value()) << row.name;
      EXPECT_EQ(*owner, platform::ServiceIdentity()) << row.name;
    }
  }
}

}  // namespace
}  // namespace vortan
