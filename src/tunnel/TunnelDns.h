#pragma once

#include <cstdint>
#include <string>

#include "tunnel/PushedDns.h"

namespace vortan {

// Whether the service gives the tunnel's link the name servers and domains the VPN
// server pushed (the settings decide; on by default).
void EnablePushedDns(bool enabled);

// The pushed name settings of one tunnel: gathered from its management notifications,
// set on the tunnel's link when it connects, and taken back when the tunnel ends.
class TunnelDns {
 public:
  TunnelDns() = default;
  ~TunnelDns();
  TunnelDns(const TunnelDns&) = delete;
  TunnelDns& operator=(const TunnelDns&) = delete;

  // Every notification passes here before it is relayed: the link is ready for names
  // by the time the client reads CONNECTED.
  void Observe(const std::string& type, const std::string& value);

 private:
  void Apply(const std::string& tunnelAddress);

  PushedDns pushed_;
  std::uint32_t link_ = 0;  // the link given settings; 0: none
  bool warned_ = false;
};

// Takes back the settings of links named adapterName: a service that ended without
// taking them back left them on a tunnel that may still be there.
void RevertLeftoverTunnelDns(const std::string& adapterName);

}  // namespace vortan
