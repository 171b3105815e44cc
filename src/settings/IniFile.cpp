#include "settings/IniFile.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "platform/Random.h"

namespace vortan {

namespace {

constexpr int kHighestPort = 65535;

// A decimal number as a signed 32-bit value; false when it does not fit.
bool ParseInt32(const std::string& digits, std::int32_t* value) {
  std::int64_t result = 0;
  for (char c : digits) {
    result = result * 10 + (c - '0');
    if (result > INT32_MAX) return false;
  }
  *value = static_cast<std::int32_t>(result);
  return true;
}

std::string TrimBlanksAndTabs(const std::string& text) {
  std::string::size_type first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  std::string::size_type last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool OnlySpaces(const std::string& text) { return text.find_first_not_of(' ') == std::string::npos; }

// Expands ranges into a port list. Ranges starting at 0 or below contribute nothing;
// ports past 65535 cannot be bound (and would wrap), so a range is cut there.
std::vector<int> ExpandRanges(const std::vector<PortRange>& ranges) {
  std::vector<int> ports;
  for (const PortRange& range : ranges) {
    if (range.first <= 0) continue;
    for (std::int32_t port = range.first; port <= std::min(range.last, kHighestPort); ++port) {
      ports.push_back(port);
    }
  }
  return ports;
}

std::vector<int> PortsOrDefault(const std::vector<PortRange>& configured,
                                const std::vector<PortRange>& defaults) {
  std::vector<int> ports = ExpandRanges(configured);
  return ports.empty() ? ExpandRanges(defaults) : ports;
}

}  // namespace

PortRange ParsePortRange(const std::string& value) {
  static const std::regex pattern("^([0-9]+)(-([0-9]+))?$");
  std::smatch match;
  PortRange unreadable{-1, -1};
  if (!std::regex_match(value, match, pattern)) return unreadable;
  std::int32_t first = 0, last = 0;
  if (!ParseInt32(match[1].str(), &first)) return unreadable;
  if (!match[3].matched) return {first, first};
  if (!ParseInt32(match[3].str(), &last)) return unreadable;
  return {std::min(first, last), std::max(first, last)};
}

int ParseSessionCount(const std::string& value, int fallback) {
  static const std::regex pattern("^[0-9]+$");
  std::int32_t count = 0;
  if (!std::regex_match(value, pattern) || !ParseInt32(value, &count) || count <= 0) return fallback;
  return count;
}

CidrRange::CidrRange(const std::string& text) : text_(text) {
  static const std::regex pattern("^([0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3})/([1-9][0-9]?)$");
  std::smatch match;
  if (!std::regex_match(text, match, pattern)) {
    throw std::runtime_error("Invalid CIDR format in reference " + text);
  }
  maskBits_ = static_cast<std::uint32_t>(std::stoul(match[2].str()));
  if (maskBits_ > 32 || maskBits_ < 8) throw std::runtime_error("Invalid CIDR mask in reference " + text);
  std::uint32_t netAddress = 0;
  if (!ParseDottedQuad(match[1].str(), &netAddress)) {
    throw std::runtime_error("Invalid CIDR address reference " + text);
  }
  address_ = NetToHost(netAddress);
}

std::uint32_t CidrRange::randomAddress() const {
  if (maskBits_ == 32) return address_;
  const std::uint32_t hostMask = 0xFFFFFFFFu >> maskBits_;
  const std::uint32_t network = address_ & ~hostMask;
  if (maskBits_ == 31) return network + 1;
  std::uint32_t random = 0;
  if (!platform::SecureRandom32(&random)) return 0;
  const std::uint32_t candidate = network + (random & hostMask);
  return (candidate >> 24) == 127 ? candidate : 0;
}

std::uint32_t DrawLoopbackAddress(const CidrRange& range, const char* logger) {
  constexpr std::uint32_t kLoopbackHost = 0x7F000001;  // 127.0.0.1
  std::uint32_t host = range.randomAddress();
  if (host == 0 || (host >> 24) != 127) {
    CLOG(ERROR, logger) << "Unable to find a random loopback address in range " << range.toString();
    host = kLoopbackHost;
  }
  return HostToNet(host);
}

IniFile::IniFile(const std::string& path) {
  // UTF-8 path text: a narrow path would be read in Windows' ANSI code page.
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  if (!file.is_open()) return;
  std::string line;
  int lineNumber = 0;
  while (std::getline(file, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::string::size_type comment = line.find(';');
    if (comment != std::string::npos) line.erase(comment);
    if (OnlySpaces(line)) continue;
    ParseLine(line, lineNumber);
  }
}

void IniFile::ParseLine(const std::string& rawLine, int lineNumber) {
  if (rawLine.find('=') == std::string::npos) {
    throw std::runtime_error("CFG: Couldn't find separator on line: " + std::to_string(lineNumber) + "\n");
  }
  const std::string line = rawLine.substr(std::min(rawLine.find_first_not_of(" \t"), rawLine.size()));
  const std::string::size_type equals = line.find('=');
  if (equals == 0 || OnlySpaces(line.substr(equals + 1))) {
    throw std::runtime_error("CFG: Bad format for line: " + std::to_string(lineNumber) + "\n");
  }
  std::string key = line.substr(0, equals);
  key = ToLowerAscii(key.substr(0, key.find_first_of(" \t")));
  const std::string value = TrimBlanksAndTabs(line.substr(equals + 1));

  if (Contains(key, "openvpnmanagementport")) vpnManagementPorts_.push_back(ParsePortRange(value));
  if (Contains(key, "vortanvpnserviceport")) servicePorts_.push_back(ParsePortRange(value));
  if (Contains(key, "qbrport")) stunnelProxyPorts_.push_back(ParsePortRange(value));
  if (Contains(key, "loopbackaddress")) bindRange_ = CidrRange(value);
  if (Contains(key, "maxsessionsperuser")) maxSessionsPerUser_ = ParseSessionCount(value, kDefaultMaxSessionsPerUser);
  if (Contains(key, "tunnelgroup")) tunnelGroup_ = value;
  const std::string word = ToLowerAscii(value);
  const bool switchedOn = !(word == "0" || word == "no" || word == "off" || word == "false");
  if (Contains(key, "applypusheddns")) applyPushedDns_ = switchedOn;
  if (Contains(key, "restartonnetworkchange")) restartOnNetworkChange_ = switchedOn;
}

void IniFile::dumpToLog() const {
  el::Loggers::getLogger(loggers::kConfig, true);
  CLOG(DEBUG, loggers::kConfig) << "parsed config: ";
  for (const PortRange& range : vpnManagementPorts_) {
    CLOG(DEBUG, loggers::kConfig) << "vpn management ports: " << range.first << " - " << range.last;
  }
  for (const PortRange& range : servicePorts_) {
    CLOG(DEBUG, loggers::kConfig) << "vortan service ports: " << range.first << " - " << range.last;
  }
  for (const PortRange& range : stunnelProxyPorts_) {
    CLOG(DEBUG, loggers::kConfig) << "stunnel proxy ports: " << range.first << " - " << range.last;
  }
  CLOG(DEBUG, loggers::kConfig) << "bind ip range: " << bindRange_.toString();
  if (!tunnelGroup_.empty()) CLOG(DEBUG, loggers::kConfig) << "tunnel group: " << tunnelGroup_;
  if (!applyPushedDns_) CLOG(DEBUG, loggers::kConfig) << "pushed DNS: not applied";
  if (maxSessionsPerUser_ != kDefaultMaxSessionsPerUser) {
    CLOG(DEBUG, loggers::kConfig) << "sessions per user: " << maxSessionsPerUser_;
  }
}

std::vector<int> IniFile::getVpnManagementPorts() const {
  return PortsOrDefault(vpnManagementPorts_, defaultVpnManagementPorts_);
}

std::vector<int> IniFile::getServicePorts() const { return PortsOrDefault(servicePorts_, defaultServicePorts_); }

std::vector<int> IniFile::getStunnelProxyPorts() const {
  return PortsOrDefault(stunnelProxyPorts_, defaultStunnelProxyPorts_);
}

}  // namespace vortan
