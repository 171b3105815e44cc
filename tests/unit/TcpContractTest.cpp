// What every backend of the TCP seam promises on loopback: a whole conversation, and
// the refusals a caller tells by failure.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>

#include "LoopbackSockets.h"

namespace vortan {
namespace {

using platform::SocketHandle;
using test::Loopback;

std::string Receive(SocketHandle handle) {
  char buffer[64];
  std::size_t received = 0;
  EXPECT_TRUE(platform::ReceiveSocket(handle, buffer, sizeof buffer, &received).Succeeded());
  return std::string(buffer, received);
}

TEST(TcpContract, LoopbackConversationBetweenListenerAndClient) {
  test::LoopbackConnection connection;
  EXPECT_NE(connection.servicePort, 0);
  EXPECT_TRUE(platform::SendWritesAtOnce(connection.accepted).Succeeded());
  std::size_t sent = 0;
  ASSERT_TRUE(platform::SendSocket(connection.client, "hello\n", 6, &sent).Succeeded());
  EXPECT_EQ(sent, 6u);
  char peeked[16];
  std::size_t count = 0;
  ASSERT_TRUE(platform::PeekSocket(connection.accepted, peeked, sizeof peeked, &count).Succeeded());
  EXPECT_EQ(std::string(peeked, count), "hello\n");
  EXPECT_EQ(Receive(connection.accepted), "hello\n");  // the peek consumed nothing

  std::uint32_t local = 0, peer = 0;
  int localPort = 0, peerPort = 0;
  ASSERT_TRUE(platform::SocketEndpoints(connection.client, &local, &localPort, &peer, &peerPort).Succeeded());
  EXPECT_EQ(local, Loopback());
  EXPECT_EQ(localPort, connection.clientPort);
  EXPECT_EQ(peer, Loopback());
  EXPECT_EQ(peerPort, connection.servicePort);

  // Shutting a connection down ends the peer's reading.
  EXPECT_TRUE(platform::ShutdownSocket(connection.client).Succeeded());
  EXPECT_EQ(Receive(connection.accepted), "");
  EXPECT_TRUE(connection.Close());
}

TEST(TcpContract, APortInUseOrClosedIsRefused) {
  int held = 0;
  SocketHandle listener = test::OpenListener(&held);
  int closed = 0;
  EXPECT_TRUE(platform::CloseSocket(test::OpenListener(&closed)).Succeeded());
  const struct {
    const char* name;
    std::function<platform::Error(SocketHandle)> call;
  } rows[] = {
      {"binding a port a listener holds", [&](SocketHandle s) { return platform::BindSocket(s, Loopback(), held); }},
      {"connecting to a closed port", [&](SocketHandle s) { return platform::ConnectSocket(s, Loopback(), closed); }},
  };
  for (const auto& row : rows) {
    SocketHandle handle = platform::kInvalidSocket;
    ASSERT_TRUE(platform::OpenTcpSocket(&handle).Succeeded());
    EXPECT_TRUE(row.call(handle).Failed()) << row.name;
    EXPECT_TRUE(platform::CloseSocket(handle).Succeeded());
  }
  EXPECT_TRUE(platform::CloseSocket(listener).Succeeded());
}

// The service's stop ends its accept loop this way; the outcome is the same whether the
// accept blocked before the shutdown or comes after it.
TEST(TcpContract, ShuttingAListenerDownEndsItsAcceptWithAListenerFault) {
  int port = 0;
  SocketHandle listener = test::OpenListener(&port);
  std::future<platform::Error> accepting = std::async(std::launch::async, [listener] {
    SocketHandle accepted = platform::kInvalidSocket;
    return platform::AcceptSocket(listener, &accepted);
  });
  ASSERT_TRUE(platform::ShutdownSocket(listener).Succeeded());
  ASSERT_EQ(accepting.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  const platform::Error error = accepting.get();
  EXPECT_TRUE(error.Failed());
  EXPECT_TRUE(platform::IsListenerFault(error)) << error.Code();
  EXPECT_TRUE(platform::CloseSocket(listener).Succeeded());
}

}  // namespace
}  // namespace vortan
