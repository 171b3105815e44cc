#pragma once

#include <string>

#include "platform/Tcp.h"

namespace vortan {

// One UDP datagram to the tunnel's broadcast address, announcing this client to the
// remote network. Created, used once and destroyed within one notification.
class TunnelBroadcast {
 public:
  static constexpr int kBroadcastPort = 1234;

  // Opens the socket; never raises (a failure is logged and makes SendBroadcast raise).
  explicit TunnelBroadcast(const std::string& address);
  ~TunnelBroadcast();
  TunnelBroadcast(const TunnelBroadcast&) = delete;
  TunnelBroadcast& operator=(const TunnelBroadcast&) = delete;

  // The message as one datagram to the address, port 1234; throws std::runtime_error
  // when the socket is missing or the address does not resolve. Send errors are ignored.
  void SendBroadcast(const std::string& message);

 private:
  void CreateSocket();

  std::string address_;
  int broadcastPort_ = kBroadcastPort;
  platform::SocketHandle socket_ = platform::kInvalidSocket;
};

}  // namespace vortan
