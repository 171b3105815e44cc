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

// Steps on a fresh pair: ">" bytes the client sends, "x" its close, "<" the line the
// service receives next, "s" a line it sends, "r" the client's next line. Received lines
// lose their blank ends, not inner blanks, and no read goes past a line feed; text
// before a close comes back untrimmed, then nothing; the longest line arrives whole, a
// longer one ends the line; a sent line gets exactly one line feed.
TEST_F(SocketPairTest, LinesGoThroughOneAtATime) {
  const std::string longest(kMaxLineLength, 'a');
  const std::vector<std::string> rows[] = {
      {">  route add  x y \r\n", "<route add  x y", "> \t\r\n", "<"},
      {">ab ", "x", "<ab ", "<"},
      {">one\ntwo\n", "<one", "<two"},
      {">" + longest + "\n", "<" + longest, ">" + longest + "b\n", "<"},
      {"sOK", "sx\n", "rOK\n", "rx\n", "r\n"},
  };
  for (const auto& steps : rows) {
    SetUp();
    if (HasFatalFailure()) return;
    for (const std::string& step : steps) {
      const std::string text = step.substr(1);
      if (step[0] == '>') client_->SendRaw(text);
      if (step[0] == 'x') client_->Close();
      if (step[0] == 's') accepted_->SendLine(text);
      if (step[0] == '<' || step[0] == 'r') {
        EXPECT_EQ(step[0] == '<' ? accepted_->ReceiveLine() : client_->ReadLine(), text);
      }
    }
  }
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

// No candidates leaves the choice to the system; all of them busy gives the same.
TEST(GetFreePort, NoCandidateOrAllBusyGivesZero) {
  registerLoggers();
  std::vector<std::unique_ptr<SocketServer>> busy;
  std::vector<int> ports;
  EXPECT_EQ(Socket::GetFreePort(kLoopback, ports), 0);
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
