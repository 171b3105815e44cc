#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "platform/Tcp.h"
#include "platform/windows/Winsock.h"

namespace {

using platform::SocketHandle;

const std::uint32_t kLoopback = htonl(INADDR_LOOPBACK);

SocketHandle OpenListener(int* port) {
  SocketHandle listener = platform::kInvalidSocket;
  EXPECT_EQ(platform::OpenTcpSocket(&listener), 0);
  EXPECT_EQ(platform::BindSocket(listener, kLoopback, 0), 0);
  EXPECT_EQ(platform::BoundPort(listener, port), 0);
  EXPECT_EQ(platform::ListenSocket(listener, platform::MaxListenBacklog()), 0);
  return listener;
}

SocketHandle Connect(int port) {
  SocketHandle client = platform::kInvalidSocket;
  EXPECT_EQ(platform::OpenTcpSocket(&client), 0);
  EXPECT_EQ(platform::ConnectSocket(client, kLoopback, port), 0);
  return client;
}

std::string Receive(SocketHandle handle) {
  char buffer[64];
  std::size_t received = 0;
  EXPECT_EQ(platform::ReceiveSocket(handle, buffer, sizeof buffer, &received), 0);
  return std::string(buffer, received);
}

bool Inheritable(SocketHandle handle) {
  DWORD flags = 0;
  EXPECT_TRUE(::GetHandleInformation(reinterpret_cast<HANDLE>(handle), &flags));
  return (flags & HANDLE_FLAG_INHERIT) != 0;
}

// Whether the process has Winsock started, asked without starting it.
bool WinsockStarted() {
  const SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (probe == INVALID_SOCKET) return ::WSAGetLastError() != WSANOTINITIALISED;
  ::closesocket(probe);
  return true;
}

TEST(TcpTest, LoopbackConversationBetweenListenerAndClient) {
  int port = 0;
  SocketHandle listener = OpenListener(&port);
  EXPECT_NE(port, 0);
  SocketHandle client = Connect(port);
  SocketHandle accepted = platform::kInvalidSocket;
  ASSERT_EQ(platform::AcceptSocket(listener, &accepted), 0);
  EXPECT_EQ(platform::SendWritesAtOnce(accepted), 0);

  std::size_t sent = 0;
  ASSERT_EQ(platform::SendSocket(client, "hello\n", 6, &sent), 0);
  EXPECT_EQ(sent, 6u);
  char peeked[16];
  std::size_t count = 0;
  ASSERT_EQ(platform::PeekSocket(accepted, peeked, sizeof peeked, &count), 0);
  EXPECT_EQ(std::string(peeked, count), "hello\n");
  EXPECT_EQ(Receive(accepted), "hello\n");  // the peek consumed nothing

  std::uint32_t local = 0, peer = 0;
  int localPort = 0, peerPort = 0;
  ASSERT_EQ(platform::SocketEndpoints(accepted, &local, &localPort, &peer, &peerPort), 0);
  EXPECT_EQ(local, kLoopback);
  EXPECT_EQ(localPort, port);
  EXPECT_EQ(peer, kLoopback);

  // Shutting a connection down ends the peer's reading.
  EXPECT_EQ(platform::ShutdownSocket(client), 0);
  EXPECT_EQ(Receive(accepted), "");
  EXPECT_EQ(platform::CloseSocket(client), 0);
  EXPECT_EQ(platform::CloseSocket(accepted), 0);
  EXPECT_EQ(platform::CloseSocket(listener), 0);
}

TEST(TcpTest, SocketsAreNotInheritedByChildProcesses) {
  int port = 0;
  SocketHandle listener = OpenListener(&port);
  SocketHandle client = Connect(port);
  SocketHandle accepted = platform::kInvalidSocket;
  ASSERT_EQ(platform::AcceptSocket(listener, &accepted), 0);
  EXPECT_FALSE(Inheritable(listener));
  EXPECT_FALSE(Inheritable(client));
  EXPECT_FALSE(Inheritable(accepted));
  for (SocketHandle handle : {client, accepted, listener}) EXPECT_EQ(platform::CloseSocket(handle), 0);
}

TEST(TcpTest, ClosingTheListenerWakesABlockedAcceptAndItsHandleClosesOnce) {
  int port = 0;
  SocketHandle listener = OpenListener(&port);
  std::future<int> accepting = std::async(std::launch::async, [listener] {
    SocketHandle accepted = platform::kInvalidSocket;
    return platform::AcceptSocket(listener, &accepted);
  });
  // Give the accept time to block; the outcome is the same if it has not yet.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(platform::ShutdownSocket(listener), 0);
  ASSERT_EQ(accepting.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  const int code = accepting.get();
  EXPECT_NE(code, 0);
  EXPECT_TRUE(platform::IsListenerFault(code)) << code;

  // A socket opened meanwhile may carry the listener's old handle value: the owner's
  // close of the listener must leave it open.
  int otherPort = 0;
  SocketHandle other = OpenListener(&otherPort);
  EXPECT_EQ(platform::CloseSocket(listener), 0);
  SocketHandle client = Connect(otherPort);
  SocketHandle accepted = platform::kInvalidSocket;
  EXPECT_EQ(platform::AcceptSocket(other, &accepted), 0);
  for (SocketHandle handle : {client, accepted, other}) EXPECT_EQ(platform::CloseSocket(handle), 0);
  EXPECT_EQ(platform::WinsockUsers(), 0);
}

TEST(TcpTest, WinsockStartsWithTheFirstSocketAndEndsWithTheLast) {
  ASSERT_EQ(platform::WinsockUsers(), 0);
  EXPECT_FALSE(WinsockStarted());
  SocketHandle first = platform::kInvalidSocket;
  SocketHandle second = platform::kInvalidSocket;
  ASSERT_EQ(platform::OpenTcpSocket(&first), 0);
  ASSERT_EQ(platform::OpenTcpSocket(&second), 0);
  EXPECT_EQ(platform::WinsockUsers(), 2);
  EXPECT_TRUE(WinsockStarted());
  EXPECT_EQ(platform::CloseSocket(first), 0);
  EXPECT_TRUE(WinsockStarted());
  EXPECT_EQ(platform::CloseSocket(second), 0);
  EXPECT_EQ(platform::WinsockUsers(), 0);
  EXPECT_FALSE(WinsockStarted());
}

TEST(TcpTest, PortHeldByAListenerCannotBeBoundAgain) {
  int port = 0;
  SocketHandle listener = OpenListener(&port);
  SocketHandle second = platform::kInvalidSocket;
  ASSERT_EQ(platform::OpenTcpSocket(&second), 0);
  EXPECT_NE(platform::BindSocket(second, kLoopback, port), 0);
  EXPECT_EQ(platform::CloseSocket(second), 0);
  EXPECT_EQ(platform::CloseSocket(listener), 0);
}

TEST(TcpTest, ConnectingToAClosedPortIsRefused) {
  int port = 0;
  SocketHandle listener = OpenListener(&port);
  EXPECT_EQ(platform::CloseSocket(listener), 0);
  SocketHandle client = platform::kInvalidSocket;
  ASSERT_EQ(platform::OpenTcpSocket(&client), 0);
  EXPECT_EQ(platform::ConnectSocket(client, kLoopback, port), WSAECONNREFUSED);
  EXPECT_EQ(platform::CloseSocket(client), 0);
}

TEST(TcpTest, AcceptFailuresThatEndTheListener) {
  struct Case {
    int code;
    bool wouldBlock;
    bool listenerFault;
  };
  const Case cases[] = {
      {WSAEWOULDBLOCK, true, false},         {WSAEINTR, false, true},       {ERROR_OPERATION_ABORTED, false, true},
      {WSAENOTSOCK, false, true},            {WSAEINVAL, false, true},      {WSANOTINITIALISED, false, true},
      {WSAECONNRESET, false, false},         {WSAEMFILE, false, false},     {WSAENOBUFS, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::IsWouldBlock(c.code), c.wouldBlock) << c.code;
    EXPECT_EQ(platform::IsListenerFault(c.code), c.listenerFault) << c.code;
  }
  EXPECT_EQ(platform::MaxListenBacklog(), SOMAXCONN);
}

}  // namespace
