// What every backend of the socket owner seam promises for a connection of this process:
// its user while the process holds the client's socket, also after a shutdown, and no
// one once it is closed or for ends of no connection.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <utility>

#include "LoopbackSockets.h"
#include "SeamFixture.h"
#include "TestCommon.h"
#include "platform/SocketOwner.h"

namespace vortan {
namespace {

using Connection = test::LoopbackConnection;

void CloseClient(Connection& connection) {
  platform::CloseSocket(std::exchange(connection.client, platform::kInvalidSocket));
}

TEST(SocketOwnerContract, OnlyAClientSocketThisProcessHoldsNamesItsUser) {
  const test::SeamFixture fixture;
  const struct {
    const char* name;
    void (*before)(Connection&);
    int portOffset;
    bool owned;
  } rows[] = {
      {"an open client", [](Connection&) {}, 0, true},
      {"a client shut down but held", [](Connection& c) { platform::ShutdownSocket(c.client); }, 0, true},
      {"no such connection", [](Connection&) {}, 1, false},
      {"a closed client", CloseClient, 0, false},
  };
  for (const auto& row : rows) {
    Connection connection;
    row.before(connection);
    const bool named = row.owned && fixture.NamesSocketOwners();
    std::optional<platform::CallerIdentity> owner;
    const auto find = [&] {
      return platform::FindTcpSocketOwner(test::Loopback(), connection.clientPort + row.portOffset, test::Loopback(),
                                          connection.servicePort, &owner);
    };
    // A closing socket may take a moment to be no one's.
    EXPECT_TRUE(test::WaitUntil([&] { return find().Succeeded() == named; }, std::chrono::seconds(2))) << row.name;
    if (named) {
      ASSERT_TRUE(owner.has_value()) << row.name;
      EXPECT_EQ(*owner, platform::ServiceIdentity()) << row.name;
    }
  }
}

}  // namespace
}  // namespace vortan
