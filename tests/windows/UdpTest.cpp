#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "platform/Udp.h"
#include "platform/windows/Winsock.h"

namespace {

using platform::SocketHandle;

const std::uint32_t kLoopback = htonl(INADDR_LOOPBACK);
// The loopback network's broadcast address: a broadcast that never leaves the host.
const std::uint32_t kLoopbackBroadcast = htonl(0x7FFFFFFFu);

SocketHandle OpenBoundUdp(std::uint32_t address, int* port) {
  SocketHandle handle = platform::kInvalidSocket;
  EXPECT_EQ(platform::OpenUdpSocket(&handle).Code(), 0);
  EXPECT_EQ(platform::BindSocket(handle, address, 0).Code(), 0);
  EXPECT_EQ(platform::BoundPort(handle, port).Code(), 0);
  return handle;
}

TEST(UdpTest, BroadcastDatagramNeedsBroadcastEnabledAndArrivesWhole) {
  int receiverPort = 0;
  SocketHandle receiver = OpenBoundUdp(0, &receiverPort);
  // A lost datagram fails the test instead of blocking it.
  const DWORD timeoutMs = 10000;
  ASSERT_EQ(::setsockopt(static_cast<SOCKET>(receiver), SOL_SOCKET, SO_RCVTIMEO,
                         reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs),
            0);
  int senderPort = 0;
  SocketHandle sender = OpenBoundUdp(0, &senderPort);
  ASSERT_EQ(platform::SetNonBlocking(sender).Code(), 0);
  const std::string message = "Coucou I'm a Vortan client";
  std::size_t sent = 0;
  EXPECT_EQ(platform::SendDatagram(sender, kLoopbackBroadcast, receiverPort, message.data(), message.size(), &sent).Code(),
            WSAEACCES);

  ASSERT_EQ(platform::EnableBroadcast(sender).Code(), 0);
  ASSERT_EQ(platform::SendDatagram(sender, kLoopbackBroadcast, receiverPort, message.data(), message.size(), &sent).Code(),
            0);
  EXPECT_EQ(sent, message.size());
  char buffer[64];
  std::size_t received = 0;
  ASSERT_EQ(platform::ReceiveSocket(receiver, buffer, sizeof buffer, &received).Code(), 0);
  EXPECT_EQ(std::string(buffer, received), message);
  EXPECT_EQ(platform::CloseSocket(sender).Code(), 0);
  EXPECT_EQ(platform::CloseSocket(receiver).Code(), 0);
}

TEST(UdpTest, NonBlockingSocketDoesNotWaitForData) {
  int port = 0;
  SocketHandle handle = OpenBoundUdp(kLoopback, &port);
  ASSERT_EQ(platform::SetNonBlocking(handle).Code(), 0);
  char buffer[8];
  std::size_t received = 0;
  EXPECT_EQ(platform::ReceiveSocket(handle, buffer, sizeof buffer, &received).Code(), WSAEWOULDBLOCK);
  EXPECT_EQ(platform::CloseSocket(handle).Code(), 0);
}

TEST(UdpTest, ResolvesAddressTextsAndExplainsFailureCodes) {
  std::uint32_t address = 0;
  ASSERT_EQ(platform::ResolveIpv4("127.0.0.1", &address).Code(), 0);
  EXPECT_EQ(address, kLoopback);
  ASSERT_EQ(platform::ResolveIpv4("10.8.0.255", &address).Code(), 0);
  EXPECT_EQ(address, htonl(0x0A0800FFu));

  EXPECT_EQ(platform::WinsockUsers(), 0);  // the lookup released the library again

  // A failed lookup's code is a Winsock code with the system's text (no line end).
  const std::string text = platform::ResolveErrorText(platform::Error(platform::ErrorKind::NotFound, WSAHOST_NOT_FOUND, "getaddrinfo"));
  EXPECT_FALSE(text.empty());
  EXPECT_NE(text.back(), '\n');
}

}  // namespace
