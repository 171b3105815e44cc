#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/HostNetwork.h"
#include "platform/Tcp.h"

namespace vortan {

class RouteLedger;

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

// The address entry of the host's adapters that carries a tunnel address.
struct TunnelAdapterEntry {
  std::string adapterName;
  std::uint32_t address = 0;  // network byte order
  std::uint32_t mask = 0;
};

// The first entry, adapters and their addresses in list order, whose address equals
// target; entries with a zero address or mask never match. False when none does.
bool FindTunnelAdapterEntry(std::uint32_t target, const std::vector<platform::Adapter>& adapters,
                            TunnelAdapterEntry* entry);

// The subnet's broadcast address, address OR NOT mask, in dotted decimal.
std::string BroadcastAddressText(std::uint32_t address, std::uint32_t mask);

// The broadcast address of the tunnel adapter's entry carrying tunnelAddress; empty
// when unknown.
std::string GetBroadCastAddress(const std::string& tunnelAddress);

// Once the tunnel is up: names its interface as the tunnel adapter, removes the routes
// the server pushed that would capture the host's DNS servers or gateways, and
// announces this client to the remote network. value is the CONNECTED state
// notification, whose fourth field is the tunnel address. The ledger's routes (none
// without one) are written on the device again first.
void AnnounceTunnel(const std::string& value, RouteLedger* routes);

}  // namespace vortan
