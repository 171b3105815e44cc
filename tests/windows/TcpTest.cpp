#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "LoopbackSockets.h"
#include "platform/Tcp.h"
#include "platform/windows/Win32Error.h"
#include "platform/windows/Winsock.h"

namespace {

using platform::SocketHandle;

using vortan::test::Connect;
using vortan::test::OpenListener;

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

TEST(TcpTest, SocketsAreNotInheritedByChildProcesses) {
  vortan::test::LoopbackConnection connection;
  ASSERT_NE(connection.accepted, platform::kInvalidSocket);
  EXPECT_FALSE(Inheritable(connection.listener));
  EXPECT_FALSE(Inheritable(connection.client));
  EXPECT_FALSE(Inheritable(connection.accepted));
  EXPECT_TRUE(connection.Close());
}

// Shutting a listener down closes it here (the wake of an accept under way is a contract
// of every system, tests/unit/TcpContractTest.cpp).
TEST(TcpTest, AListenerShutDownClosesItsHandleOnce) {
  int port = 0;
  SocketHandle listener = OpenListener(&port);
  ASSERT_EQ(platform::ShutdownSocket(listener).Code(), 0);
  // A socket opened meanwhile may carry the listener's old handle value: the owner's
  // close of the listener must leave it open.
  int otherPort = 0;
  SocketHandle other = OpenListener(&otherPort);
  EXPECT_EQ(platform::CloseSocket(listener).Code(), 0);
  SocketHandle client = Connect(otherPort);
  SocketHandle accepted = platform::kInvalidSocket;
  EXPECT_EQ(platform::AcceptSocket(other, &accepted).Code(), 0);
  for (SocketHandle handle : {client, accepted, other}) EXPECT_EQ(platform::CloseSocket(handle).Code(), 0);
  EXPECT_EQ(platform::WinsockUsers(), 0);
}

TEST(TcpTest, WinsockStartsWithTheFirstSocketAndEndsWithTheLast) {
  ASSERT_EQ(platform::WinsockUsers(), 0);
  EXPECT_FALSE(WinsockStarted());
  SocketHandle first = platform::kInvalidSocket;
  SocketHandle second = platform::kInvalidSocket;
  ASSERT_EQ(platform::OpenTcpSocket(&first).Code(), 0);
  ASSERT_EQ(platform::OpenTcpSocket(&second).Code(), 0);
  EXPECT_EQ(platform::WinsockUsers(), 2);
  EXPECT_TRUE(WinsockStarted());
  EXPECT_EQ(platform::CloseSocket(first).Code(), 0);
  EXPECT_TRUE(WinsockStarted());
  EXPECT_EQ(platform::CloseSocket(second).Code(), 0);
  EXPECT_EQ(platform::WinsockUsers(), 0);
  EXPECT_FALSE(WinsockStarted());
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
    const platform::Error error = platform::Win32Error(static_cast<unsigned long>(c.code), "accept");
    EXPECT_EQ(platform::IsWouldBlock(error), c.wouldBlock) << c.code;
    EXPECT_EQ(platform::IsListenerFault(error), c.listenerFault) << c.code;
  }
  EXPECT_EQ(platform::MaxListenBacklog(), SOMAXCONN);
}

}  // namespace
