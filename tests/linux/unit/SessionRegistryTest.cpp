#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "app/SessionRegistry.h"
#include "common/Ipv4.h"
#include "common/Logging.h"
#include "TestSupport.h"

namespace vortan {
namespace {

// Sessions that read until their connection ends: a client that leaves frees its entry
// when the next session starts; the end shuts down and joins the ones still reading.
TEST(SessionRegistry, ReapsFinishedSessionsAndJoinsTheRestAtTheEnd) {
  registerLoggers();
  SocketServer server(HostToNet(0x7F000001), 0, 5);
  std::atomic<int> ended{0};
  SessionRegistry sessions([&ended](SessionStart& start) {
    while (!start.client.connection->ReceiveLine().empty()) {
    }
    ++ended;
  }, 256 * 1024);
  std::vector<std::unique_ptr<test::LineClient>> clients;
  auto connect = [&] {
    clients.push_back(std::make_unique<test::LineClient>("127.0.0.1", server.BoundPort()));
    sessions.Start(SessionStart{TunnelClient{server.Accept(), std::nullopt}, nullptr, nullptr});
  };
  connect();
  connect();
  clients[0]->Close();
  ASSERT_TRUE(test::WaitUntil([&] { return ended == 1; }, std::chrono::seconds(10)));
  connect();
  EXPECT_EQ(sessions.Count(), 2u);
  sessions.EndAll();
  EXPECT_EQ(ended, 3);
  EXPECT_EQ(sessions.Count(), 0u);
}

}  // namespace
}  // namespace vortan
