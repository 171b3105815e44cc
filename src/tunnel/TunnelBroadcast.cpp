#include "tunnel/TunnelBroadcast.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "platform/ProcessInfo.h"
#include "platform/Udp.h"
#include "routes/RouteLedger.h"
#include "common/socket.h"

namespace vortan {
namespace {

const char* const kAnnouncement = "Coucou I'm a Vortan client";
// The tunnel adapter's friendly name, which the route commands look for too.
const char* const kTunnelAdapterName = "Vortan-Dashlet";
// A server pushes a handful of routes; the bound only ends a lookup that keeps
// answering with routes that cannot be deleted.
constexpr int kMaxCapturingRoutes = 64;

std::runtime_error SocketError(int code) {
  return std::runtime_error(WithErrorCode(platform::ErrorText(code), code));
}

void ThrowOnError(const platform::Error& error) {
  if (error.Failed()) throw SocketError(static_cast<int>(error.Code()));
}

bool NamesAdapter(const platform::Adapter& adapter, const std::string& name) {
  return std::find(adapter.friendlyNames.begin(), adapter.friendlyNames.end(), name) != adapter.friendlyNames.end();
}

// Only the tunnel adapter counts: a server may push an address that also sits on one of
// the host's LAN interfaces.
std::vector<platform::Adapter> TunnelAdapters(std::vector<platform::Adapter> adapters) {
  adapters.erase(std::remove_if(adapters.begin(), adapters.end(),
                                [](const platform::Adapter& adapter) {
                                  return !NamesAdapter(adapter, kTunnelAdapterName);
                                }),
                 adapters.end());
  return adapters;
}

// The route the tunnel's own address brings along: not one the server pushed.
bool IsTunnelSubnetRoute(const platform::Route& route, const platform::Adapter& tunnel) {
  return std::any_of(tunnel.addresses.begin(), tunnel.addresses.end(), [&](const platform::AdapterAddress& entry) {
    return (entry.address & entry.mask) == route.destination && entry.mask == route.mask;
  });
}

// A server that redirects the default gateway installs 0/1 and 128/1 (or a default
// route) through the tunnel: that is the full tunnel the client asked for, and it
// carries the host's traffic to the internet by design.
bool IsRedirectGatewayRoute(const platform::Route& route) { return NetToHost(route.mask) <= 0x80000000u; }

// The addresses the host's own traffic depends on: its name servers and the gateways of
// its other interfaces.
std::vector<std::uint32_t> GuardedAddresses(const std::vector<platform::Adapter>& adapters, std::uint32_t tunnelIndex) {
  std::vector<std::uint32_t> guarded;
  const platform::Error error = platform::ListDnsServers(&guarded);
  if (error.Failed()) CLOG(ERROR, loggers::kRoute) << "Cannot read the DNS servers : code " << error.Code();
  for (const platform::Adapter& adapter : adapters) {
    if (adapter.index == tunnelIndex) continue;
    guarded.insert(guarded.end(), adapter.gateways.begin(), adapter.gateways.end());
  }
  return guarded;
}

// OpenVPN installs the routes a server pushes before it reports the tunnel connected;
// those that now carry the traffic for a guarded address into the tunnel are removed,
// as "route add" refuses to write them. The lookup repeats, since a wider pushed route
// may take over from the one removed.
void RemoveCapturingRoutes(const platform::Adapter& tunnel, const std::vector<platform::Adapter>& adapters) {
  for (std::uint32_t guarded : GuardedAddresses(adapters, tunnel.index)) {
    for (int removed = 0; removed < kMaxCapturingRoutes; ++removed) {
      platform::Route route;
      if (platform::BestRoute(guarded, &route).Failed()) break;
      if (!route.mainTable || route.interfaceIndex != tunnel.index || IsTunnelSubnetRoute(route, tunnel) ||
          IsRedirectGatewayRoute(route)) {
        break;
      }
      const std::string pushed = FormatDotted(route.destination) + "/" + FormatDotted(route.mask);
      const platform::Error error = platform::DeleteRoute(route);
      if (error.Failed()) {
        CLOG(ERROR, loggers::kRoute) << "Cannot remove the pushed route " << pushed << " through the tunnel : code "
                                     << error.Code();
        break;
      }
      CLOG(WARNING, loggers::kRoute) << "Removed the pushed route " << pushed << " through the tunnel: it captured "
                                     << FormatDotted(guarded) << ", a DNS server or gateway of this computer";
    }
  }
}

// Gives the tunnel's interface the tunnel adapter's name and removes the pushed routes
// that would capture the host's own traffic.
void PrepareTunnelAdapter(const std::string& tunnelAddress) {
  const std::uint32_t address = InetAddr(tunnelAddress);
  const platform::Error named = platform::NameTunnelAdapter(address, kTunnelAdapterName);
  if (named.Failed()) {
    CLOG(WARNING, loggers::kOpenVpnManager) << "Cannot give the adapter carrying " << tunnelAddress << " the name "
                                            << kTunnelAdapterName << " : code " << named.Code();
  }
  std::vector<platform::Adapter> adapters;
  if (platform::ListAdapters(&adapters).Failed()) return;
  for (const platform::Adapter& tunnel : TunnelAdapters(adapters)) {
    for (const platform::AdapterAddress& entry : tunnel.addresses) {
      if (entry.address != address) continue;
      RemoveCapturingRoutes(tunnel, adapters);
      return;
    }
  }
}

}  // namespace

TunnelBroadcast::TunnelBroadcast(const std::string& address) : address_(address) {
  CLOG(DEBUG, loggers::kBroadcast) << "udp socket creation to brodcast on " << address_ << " port "
                                   << broadcastPort_;
  try {
    CreateSocket();
  } catch (const std::exception& error) {
    CLOG(ERROR, loggers::kDefault) << "udp socket not created : " << error.what();
    socket_ = platform::kInvalidSocket;
  }
}

TunnelBroadcast::~TunnelBroadcast() {
  if (socket_ != platform::kInvalidSocket) platform::CloseSocket(socket_);
}

void TunnelBroadcast::CreateSocket() {
  platform::SocketHandle handle = platform::kInvalidSocket;
  ThrowOnError(platform::OpenUdpSocket(&handle));
  try {
    ThrowOnError(platform::SetNonBlocking(handle));
    ThrowOnError(platform::EnableBroadcast(handle));
    ThrowOnError(platform::BindSocket(handle, 0, broadcastPort_));
  } catch (...) {
    platform::CloseSocket(handle);
    throw;
  }
  socket_ = handle;
}

void TunnelBroadcast::SendBroadcast(const std::string& message) {
  if (socket_ == platform::kInvalidSocket) throw std::runtime_error("TunnelBroadcast not correctly initialised");
  std::uint32_t destination = 0;
  const platform::Error error = platform::ResolveIpv4(address_, &destination);
  if (error.Failed()) {
    throw std::runtime_error(WithErrorCode(platform::ResolveErrorText(error), static_cast<int>(error.Code())));
  }
  std::size_t sent = 0;
  platform::SendDatagram(socket_, destination, broadcastPort_, message.data(), message.size(), &sent);
}

bool FindTunnelAdapterEntry(std::uint32_t target, const std::vector<platform::Adapter>& adapters,
                            TunnelAdapterEntry* entry) {
  for (const auto& adapter : adapters) {
    for (const auto& address : adapter.addresses) {
      if (address.address == 0 || address.mask == 0) continue;
      if (address.address != target) continue;
      *entry = TunnelAdapterEntry{adapter.name, address.address, address.mask};
      return true;
    }
  }
  return false;
}

std::string BroadcastAddressText(std::uint32_t address, std::uint32_t mask) {
  return FormatDotted(address | ~mask);
}

std::string GetBroadCastAddress(const std::string& tunnelAddress) {
  const std::uint32_t target = InetAddr(tunnelAddress);
  platform::Route route;
  const std::uint32_t interfaceIndex = platform::BestRoute(target, &route).Succeeded() ? route.interfaceIndex : 0;
  CLOG(DEBUG, loggers::kOpenVpnManager) << "Interface found for [" << tunnelAddress << "(" << target
                                        << ")] : " << interfaceIndex;
  std::vector<platform::Adapter> adapters;
  const platform::Error error = platform::ListAdapters(&adapters);
  if (error.Failed()) {
    CLOG(ERROR, loggers::kOpenVpnManager) << "Cannot get Adapter Info : code " << error.Code();
    return std::string();
  }
  TunnelAdapterEntry entry;
  if (!FindTunnelAdapterEntry(target, TunnelAdapters(adapters), &entry)) {
    CLOG(ERROR, loggers::kOpenVpnManager) << "Cannot find address in adapter info ";
    return std::string();
  }
  CLOG(DEBUG, loggers::kOpenVpnManager) << "interface name  :" << entry.adapterName;
  CLOG(DEBUG, loggers::kOpenVpnManager) << "address :" << FormatDotted(entry.address);
  CLOG(DEBUG, loggers::kOpenVpnManager) << "netMask :" << FormatDotted(entry.mask);
  const std::string broadcast = BroadcastAddressText(entry.address, entry.mask);
  CLOG(DEBUG, loggers::kOpenVpnManager) << "broadcast address :" << broadcast;
  return broadcast;
}

void AnnounceTunnel(const std::string& value, RouteLedger* routes) {
  CLOG(INFO, loggers::kOpenVpnManager) << "CONNECTED";
  std::vector<std::string> fields = SplitFields(value, ",");
  if (fields.size() < 4) {
    CLOG(ERROR, loggers::kOpenVpnManager) << "Cannot find the tunnel address in state :" << value;
    return;
  }
  const std::string& tunnelAddress = fields[3];
  PrepareTunnelAdapter(tunnelAddress);
  // After OpenVPN's own restart the device is new and the client's routes went with
  // the old one: they are back before the client reads CONNECTED.
  if (routes != nullptr) routes->Replay();
  const std::string broadcast = GetBroadCastAddress(tunnelAddress);
  if (broadcast.empty()) {
    CLOG(ERROR, loggers::kOpenVpnManager) << "Cannot find interface with address :" << tunnelAddress;
    return;
  }
  TunnelBroadcast broadcaster(broadcast);
  CLOG(DEBUG, loggers::kOpenVpnManager) << "tunnelBroadcaster created !";
  try {
    broadcaster.SendBroadcast(kAnnouncement);
    CLOG(DEBUG, loggers::kOpenVpnManager) << "packet sent through the tunnel";
  } catch (const std::exception&) {
    CLOG(ERROR, loggers::kOpenVpnManager) << "Cannot Send packet through the tunnel";
  }
}

}  // namespace vortan
