#pragma once

#include <cstdint>
#include <string>

#include "tunnel/ConfigManager.h"
#include "tunnel/RequestParser.h"

namespace vortan {

// Writes the stunnel configuration of one start request at prefix + "_stunnel.conf",
// readable by its owner only (it may hold the proxy password).
class STunnelConfigManager : public ConfigManager {
 public:
  // localAddress in network order: where stunnel accepts OpenVPN's connection. The file
  // is written through writer. Throws std::runtime_error when it cannot be written.
  STunnelConfigManager(const RequestParser& request, std::uint32_t localAddress, int localPort,
                       const FileWriter& writer);

 private:
  std::string FillTemplate(const std::string& text, const RequestParser& request, const std::string& proxyBlock) const;

  std::uint32_t localAddress;
  int localPort;
};

// The stunnel options that carry the connection through the request's HTTP proxy;
// empty without proxy words.
std::string StunnelProxyBlock(const RequestParser& request);

}  // namespace vortan
