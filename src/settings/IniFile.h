#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vortan {

// Concurrent sessions of one local user when the settings name no other number.
constexpr int kDefaultMaxSessionsPerUser = 64;

// One port range as written in the settings; -1..-1 when it could not be read.
struct PortRange {
  std::int32_t first;
  std::int32_t last;
};

// An IPv4 address with a prefix length: the range of loopback addresses to bind to.
class CidrRange {
 public:
  // Throws std::runtime_error with the settings' CIDR error texts.
  explicit CidrRange(const std::string& text);

  // A random address of the range in host byte order, or 0 when none can be drawn.
  std::uint32_t randomAddress() const;
  const std::string& toString() const { return text_; }
  std::uint32_t address() const { return address_; }
  std::uint32_t maskBits() const { return maskBits_; }

 private:
  std::uint32_t address_ = 0;  // host byte order, as written
  std::uint32_t maskBits_ = 0;
  std::string text_;
};

// The address of an endpoint the service opens, drawn from range, in network byte
// order. Every endpoint stays on loopback: a range that yields no address in
// 127.0.0.0/8 (a /32 naming a LAN address, say) gives 127.0.0.1, with an error logged
// on logger.
std::uint32_t DrawLoopbackAddress(const CidrRange& range, const char* logger);

// The settings file: ports of the three loopback listeners and the bind range.
// Reads the whole file in its constructor; a missing file leaves the defaults.
class IniFile {
 public:
  // Throws std::runtime_error on a malformed line or bind range.
  explicit IniFile(const std::string& path);

  void dumpToLog() const;
  std::vector<int> getVpnManagementPorts() const;
  std::vector<int> getServicePorts() const;
  std::vector<int> getStunnelProxyPorts() const;
  CidrRange getBindRange() const { return bindRange_; }
  // The local group whose members may use the tunnel and route commands; empty: all.
  const std::string& getTunnelGroup() const { return tunnelGroup_; }
  // Concurrent sessions allowed to one local user.
  int getMaxSessionsPerUser() const { return maxSessionsPerUser_; }
  // Whether the DNS settings a VPN server pushes are given to the tunnel's link.
  bool getApplyPushedDns() const { return applyPushedDns_; }
  // Whether a tunnel restarts at once when the way to its server changes.
  bool getRestartOnNetworkChange() const { return restartOnNetworkChange_; }

 private:
  void ParseLine(const std::string& line, int lineNumber);

  std::vector<PortRange> vpnManagementPorts_;
  std::vector<PortRange> servicePorts_;
  std::vector<PortRange> stunnelProxyPorts_;
  std::vector<PortRange> defaultVpnManagementPorts_{{3000, 3999}};
  std::vector<PortRange> defaultServicePorts_;
  std::vector<PortRange> defaultStunnelProxyPorts_{{5555, 5558}};
  CidrRange bindRange_{"127.0.0.1/8"};
  std::string tunnelGroup_;
  int maxSessionsPerUser_ = kDefaultMaxSessionsPerUser;
  bool applyPushedDns_ = true;
  bool restartOnNetworkChange_ = true;
};

// Parses a session count: a positive decimal number, else fallback.
int ParseSessionCount(const std::string& value, int fallback);

// Parses a port range value: "N" or "A-B" (stored low to high), else -1..-1.
PortRange ParsePortRange(const std::string& value);

}  // namespace vortan
