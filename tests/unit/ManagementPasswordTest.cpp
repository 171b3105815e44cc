// The management channel where local sockets are loopback endpoints: OpenVPN's
// password prompt and the management option that names the password file.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "common/Ipv4.h"
#include "common/socket.h"
#include "platform/Tcp.h"
#include "tunnel/ManagementChannel.h"

namespace vortan {
namespace {

const std::uint32_t kLoopback = HostToNet(0x7F000001);
const char* const kPassword = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";

void SendRaw(Socket& connection, const std::string& bytes) {
  std::size_t sent = 0;
  platform::SendSocket(connection.Handle(), bytes.data(), bytes.size(), &sent);
}

// The password line alone is taken: the management dialogue then starts with the
// greeting, so OpenVPN's confirmation never counts as the answer to a command. The
// bytes are OpenVPN 2.6's on an endpoint with a password file: the prompt has no line
// end.
TEST(ManagementPasswordTest, ThePromptIsAnsweredAndOnlyItsConfirmationConsumed) {
  SocketServer server(kLoopback, 0, 1);
  std::string received;
  std::thread openVpn([&server, &received] {
    std::unique_ptr<Socket> connection = server.Accept();
    SendRaw(*connection, "ENTER PASSWORD:");
    received = connection->ReceiveLine();
    SendRaw(*connection,
            "SUCCESS: password is correct\r\n>INFO:OpenVPN Management Interface Version 5 -- type 'help' for more "
            "info\r\n>HOLD:Waiting for hold release:0\r\n");
    connection->ReceiveLine();  // until the client goes
  });
  {
    SocketClient management(kLoopback, server.BoundPort());
    EXPECT_NO_THROW(EnterManagementPassword(management, kPassword));
    EXPECT_EQ(management.ReceiveLine(), ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info");
  }
  openVpn.join();
  EXPECT_EQ(received, kPassword);
}

TEST(ManagementPasswordTest, ARepeatedPromptOrAClosedChannelIsARefusal) {
  for (const std::string reply : {"ENTER PASSWORD:ENTER PASSWORD:\r\n", "ERROR: bad password\r\n", ""}) {
    SocketServer server(kLoopback, 0, 1);
    std::thread openVpn([&server, reply] {
      std::unique_ptr<Socket> connection = server.Accept();
      SendRaw(*connection, "ENTER PASSWORD:");
      connection->ReceiveLine();
      SendRaw(*connection, reply);
      connection->Close();
    });
    SocketClient management(kLoopback, server.BoundPort());
    EXPECT_THROW(EnterManagementPassword(management, kPassword), std::runtime_error) << reply;
    openVpn.join();
  }
}

// A far end that takes the password and never answers holds nobody past the timeout.
TEST(ManagementPasswordTest, ASilentFarEndIsARefusalAfterTheTimeout) {
  SocketServer server(kLoopback, 0, 1);
  SocketClient management(kLoopback, server.BoundPort());
  std::unique_ptr<Socket> squatter = server.Accept();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(EnterManagementPassword(management, kPassword, std::chrono::milliseconds(200)), std::runtime_error);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

// OpenVPN reads the password from the file; the line names the endpoint and the file.
TEST(ManagementPasswordTest, TheManagementOptionNamesTheEndpointAndThePasswordFile) {
  ManagementChannel channel;
  channel.socketPath = "127.0.0.1:7505";
  channel.password = kPassword;
  channel.passwordPath = "C:\\Vortan\\run\\management-3.pw";
  EXPECT_EQ(WithManagementChannel("client\r\nmanagement 127.4.5.6 3001\r\nmanagement-hold\r\n", channel),
            "client\r\nmanagement 127.0.0.1 7505 \"C:\\\\Vortan\\\\run\\\\management-3.pw\"\r\nmanagement-hold\r\n");
  EXPECT_EQ(channel.Text(), "127.0.0.1:7505");
}

}  // namespace
}  // namespace vortan
