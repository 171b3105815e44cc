#include "tunnel/TunnelBroadcast.h"

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "platform/ProcessInfo.h"
#include "platform/Udp.h"
#include "common/socket.h"

namespace vortan {
namespace {

const char* const kAnnouncement = "Coucou I'm a Vortan client";

std::runtime_error SocketError(int code) {
  return std::runtime_error(WithErrorCode(platform::ErrorText(code), code));
}

void ThrowOnError(int code) {
  if (code != 0) throw SocketError(code);
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
  int error = platform::ResolveIpv4(address_, &destination);
  if (error != 0) {
    throw std::runtime_error(WithErrorCode(platform::ResolveErrorText(error), error));
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
  if (!FindTunnelAdapterEntry(target, adapters, &entry)) {
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

void AnnounceTunnel(const std::string& value) {
  CLOG(INFO, loggers::kOpenVpnManager) << "CONNECTED";
  std::vector<std::string> fields = SplitFields(value, ",");
  if (fields.size() < 4) {
    CLOG(ERROR, loggers::kOpenVpnManager) << "Cannot find the tunnel address in state :" << value;
    return;
  }
  const std::string& tunnelAddress = fields[3];
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
