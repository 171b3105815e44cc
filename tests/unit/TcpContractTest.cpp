// What every backend of the TCP seam promises on loopback: a whole conversation, and
// the refusals a caller tells by failure.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>

#include "common/Ipv4.h"
#include "platform/Tcp.h"

namespace vortan {
namespace {

using platform::SocketHandle;

const std::uint32_t kLoopback = HostToNet(0x7F000001);

SocketHandle OpenListener(int* port) {
  SocketHandle listener = platform::kInvalidSocket;
  EXPECT_TRUE(platform::OpenTcpSocket(&listener).Succeeded());
  EXPECT_TRUE(platform::BindSocket(listener, kLoopback, 0).Succeeded());
  EXPECT_TRUE(platform::BoundPort(listener, port).Succeeded());
  EXPECT_TRUE(platform::ListenSocket(listener, platform::MaxListenBacklog()).Succeeded());
  return listener;
}

SocketHandle Connect(int port) {
  SocketHandle client = platform::kInvalidSocket;
  EXPECT_TRUE(platform::OpenTcpSocket(&client).Succeeded());
  EXPECT_TRUE(platform::ConnectSocket(client, kLoopback, port).Succeeded());
  return client;
}

std::string Receive(SocketHandle handle) {
  char buffer[64];
  std::size_t received = 0;
  EXPECT_TRUE(platform::ReceiveSocket(handle, buffer, sizeof buffer, &received).Succeeded());
  return std::string(buffer, received);
}

TEST(TcpContract, LoopbackConversationBetweenListenerAndClient) {
  int port = 0;
  SocketHandle listener = OpenListener(&port);
  EXPECT_NE(port, 0);
  SocketHandle client = Connect(port);
  SocketHandle accepted = platform::kInvalidSocket;
  ASSERT_TRUE(platform::AcceptSocket(listener, &accepted).Succeeded());
  EXPECT_TRUE(platform::SendWritesAtOnce(accepted).Succeeded());

  std::size_t sent = 0;
  ASSERT_TRUE(platform::SendSocket(client, "hello\n", 6, &sent).Succeeded());
  EXPECT_EQ(sent, 6u);
  char peeked[16];
  std::size_t count = 0;
  ASSERT_TRUE(platform::PeekSocket(accepted, peeked, sizeof peeked, &count).Succeeded());
  EXPECT_EQ(std::string(peeked, count), "hello\n");
  EXPECT_EQ(Receive(accepted), "hello\n");  // the peek consumed nothing

  std::uint32_t local = 0, peer = 0;
  int localPort = 0, peerPort = 0;
  ASSERT_TRUE(platform::SocketEndpoints(accepted, &local, &localPort, &peer, &peerPort).Succeeded());
  EXPECT_EQ(local, kLoopback);
  EXPECT_EQ(localPort, port);
  EXPECT_EQ(peer, kLoopback);

  // Shutting a connection down ends the peer's reading.
  EXPECT_TRUE(platform::ShutdownSocket(client).Succeeded());
  EXPECT_EQ(Receive(accepted), "");
  for (SocketHandle handle : {client, accepted, listener}) EXPECT_TRUE(platform::CloseSocket(handle).Succeeded());
}

TEST(TcpContract, APortInUseOrClosedIsRefused) {
  int held = 0;
  SocketHandle listener = OpenListener(&held);
  int closed = 0;
  EXPECT_TRUE(platform::CloseSocket(OpenListener(&closed)).Succeeded());
  const struct {
    const char* name;
    std::function<platform::Error(SocketHandle)> call;
  } rows[] = {
      {"binding a port a listener holds", [&](SocketHandle handle) { return platform::BindSocket(handle, kLoopback, held); }},
      {"connecting to a closed port", [&](SocketHandle handle) { return platform::ConnectSocket(handle, kLoopback, closed); }},
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
  SocketHandle listener = OpenListener(&port);
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
