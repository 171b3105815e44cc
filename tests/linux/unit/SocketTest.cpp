#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <memory>
#include <set>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "TestSupport.h"
#include "common/socket.h"

namespace vortan {
namespace {

const std::uint32_t kLoopback = HostToNet(0x7F000001);

// A connected pair: a raw test client and the service-side accepted Socket.
class SocketPairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registerLoggers();
    server_.reset(new SocketServer(kLoopback, 0, 5));
    client_.reset(new test::LineClient("127.0.0.1", server_->BoundPort()));
    ASSERT_TRUE(client_->Connected());
    accepted_ = server_->Accept();
    ASSERT_TRUE(accepted_);
  }
  std::unique_ptr<SocketServer> server_;
  std::unique_ptr<test::LineClient> client_;
  std::unique_ptr<Socket> accepted_;
};

TEST_F(SocketPairTest, ReceiveLineTrimsTheEndsAndKeepsInnerBlanks) {
  client_->SendRaw("  route add  x y \r\n");
  EXPECT_EQ(accepted_->ReceiveLine(), "route add  x y");
  client_->SendRaw(" \t\r\n");
  EXPECT_EQ(accepted_->ReceiveLine(), "");
}

TEST_F(SocketPairTest, TextBeforeACloseComesBackUntrimmedThenEmpty) {
  client_->SendRaw("ab ");
  client_->Close();
  EXPECT_EQ(accepted_->ReceiveLine(), "ab ");
  EXPECT_EQ(accepted_->ReceiveLine(), "");
}

TEST_F(SocketPairTest, NeverReadsPastTheLineFeed) {
  client_->SendRaw("one\ntwo\n");
  EXPECT_EQ(accepted_->ReceiveLine(), "one");
  EXPECT_EQ(accepted_->ReceiveLine(), "two");
}

TEST_F(SocketPairTest, LongLinesArriveWholeAndOverlongOnesEndTheLine) {
  const std::string longest(kMaxLineLength, 'a');
  client_->SendRaw(longest + "\n");
  EXPECT_EQ(accepted_->ReceiveLine(), longest);
  client_->SendRaw(longest + "b\n");
  EXPECT_EQ(accepted_->ReceiveLine(), "");
}

TEST_F(SocketPairTest, SendLineAppendsExactlyOneLineFeed) {
  accepted_->SendLine("OK");
  accepted_->SendLine("x\n");
  EXPECT_EQ(client_->ReadLine(), "OK\n");
  EXPECT_EQ(client_->ReadLine(), "x\n");
  EXPECT_EQ(client_->ReadLine(), "\n");
}

// Replies written right after an earlier line must not wait for the client's delayed
// acknowledgement of that line.
TEST_F(SocketPairTest, AcceptedConnectionsSendSmallWritesAtOnce) {
  int noDelay = 0;
  socklen_t length = sizeof noDelay;
  ASSERT_EQ(getsockopt(static_cast<int>(accepted_->Handle()), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
  EXPECT_NE(noDelay, 0);
}

TEST_F(SocketPairTest, SendingToAVanishedPeerDoesNotKillTheProcess) {
  client_->Close();
  for (int i = 0; i < 50; ++i) accepted_->SendLine(std::string(10000, 'z'));
  SUCCEED();
}

TEST_F(SocketPairTest, AMovedSocketTakesTheConnectionAlong) {
  auto moved = std::make_unique<Socket>(std::move(*accepted_));
  accepted_.reset();
  moved->SendLine("still open");
  EXPECT_EQ(client_->ReadLine(), "still open\n");
  moved.reset();
  EXPECT_TRUE(client_->WaitForClose(std::chrono::seconds(2)));
}

TEST_F(SocketPairTest, CloseClosesAtOnceAndOnlyOnce) {
  accepted_->Close();
  EXPECT_TRUE(client_->WaitForClose(std::chrono::seconds(2)));
  EXPECT_EQ(accepted_->ReceiveLine(), "");
  accepted_->Close();
}

TEST(SocketServer, PortZeroRecordsThePortTheSystemChose) {
  SocketServer server(kLoopback, 0, 5);
  EXPECT_GT(server.BoundPort(), 0);
  EXPECT_THROW(SocketServer(kLoopback, server.BoundPort(), 5), std::runtime_error);
}

TEST(SocketClient, RefusedConnectionNamesTheErrorCode) {
  int port;
  { port = SocketServer(kLoopback, 0, 1).BoundPort(); }
  try {
    SocketClient client(kLoopback, port);
    FAIL() << "connected to a closed port";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "Connection refused id[111]");
  }
}

TEST(GetFreePort, EmptyListLeavesTheChoiceToTheSystem) {
  registerLoggers();
  EXPECT_EQ(Socket::GetFreePort(kLoopback, {}), 0);
}

TEST(GetFreePort, AllCandidatesBusyGivesZero) {
  registerLoggers();
  std::vector<std::unique_ptr<SocketServer>> busy;
  std::vector<int> ports;
  for (int i = 0; i < 3; ++i) {
    busy.emplace_back(new SocketServer(kLoopback, 0, 1));
    ports.push_back(busy.back()->BoundPort());
  }
  EXPECT_EQ(Socket::GetFreePort(kLoopback, ports), 0);
}

TEST(GetFreePort, ChoosesAmongFreeCandidatesAtRandom) {
  registerLoggers();
  std::vector<int> ports;
  for (int i = 0; i < 8; ++i) {
    SocketServer probe(kLoopback, 0, 1);
    ports.push_back(probe.BoundPort());
  }
  std::set<int> chosen;
  for (int i = 0; i < 30; ++i) {
    int port = Socket::GetFreePort(kLoopback, ports);
    ASSERT_NE(std::find(ports.begin(), ports.end(), port), ports.end());
    chosen.insert(port);
  }
  EXPECT_GT(chosen.size(), 1u);
}

}  // namespace
}  // namespace vortan
