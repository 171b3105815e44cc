#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "common/Ipv4.h"
#include "platform/Tcp.h"

// Loopback TCP sockets made through the platform seam, for the tests of every system.
namespace vortan {
namespace test {

inline std::uint32_t Loopback() { return HostToNet(0x7F000001); }

// A listener on a loopback port the system chose.
inline platform::SocketHandle OpenListener(int* port) {
  platform::SocketHandle listener = platform::kInvalidSocket;
  EXPECT_TRUE(platform::OpenTcpSocket(&listener).Succeeded());
  EXPECT_TRUE(platform::BindSocket(listener, Loopback(), 0).Succeeded());
  EXPECT_TRUE(platform::BoundPort(listener, port).Succeeded());
  EXPECT_TRUE(platform::ListenSocket(listener, platform::MaxListenBacklog()).Succeeded());
  return listener;
}

inline platform::SocketHandle Connect(int port) {
  platform::SocketHandle client = platform::kInvalidSocket;
  EXPECT_TRUE(platform::OpenTcpSocket(&client).Succeeded());
  EXPECT_TRUE(platform::ConnectSocket(client, Loopback(), port).Succeeded());
  return client;
}

// A listener, a client connected to it and the accepted end; Close() ends what is left.
struct LoopbackConnection {
  LoopbackConnection() : listener(OpenListener(&servicePort)), client(Connect(servicePort)) {
    EXPECT_TRUE(platform::AcceptSocket(listener, &accepted).Succeeded());
    std::uint32_t local = 0, peer = 0;
    EXPECT_TRUE(platform::SocketEndpoints(accepted, &local, &servicePort, &peer, &clientPort).Succeeded());
  }
  ~LoopbackConnection() { Close(); }
  // True when every socket still open closed.
  bool Close() {
    bool closed = true;
    for (platform::SocketHandle* handle : {&client, &accepted, &listener}) {
      if (*handle != platform::kInvalidSocket) closed = platform::CloseSocket(*handle).Succeeded() && closed;
      *handle = platform::kInvalidSocket;
    }
    return closed;
  }

  int servicePort = 0;
  int clientPort = 0;
  platform::SocketHandle listener;
  platform::SocketHandle client;
  platform::SocketHandle accepted = platform::kInvalidSocket;
};

}  // namespace test
}  // namespace vortan
