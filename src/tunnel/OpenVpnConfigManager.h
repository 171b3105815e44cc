#pragma once

#include <cstdint>
#include <string>

#include "tunnel/ConfigManager.h"
#include "tunnel/RequestParser.h"

namespace vortan {

// Writes the OpenVPN configuration of one start request (and, for a proxy that needs
// credentials, the credentials file) at the request's prefix.
class OpenVpnConfigManager : public ConfigManager {
 public:
  // managementAddress in network order. directTemplate selects the direct-mode
  // template, otherwise the stunnel-mode one. Both files are written through writer,
  // the credentials file first. Throws std::runtime_error when the configuration file
  // cannot be written.
  OpenVpnConfigManager(const RequestParser& request, std::uint32_t managementAddress, int managementPort,
                       bool directTemplate, const FileWriter& writer);

  // The bytes of the credentials file: user name, CR LF, password, CR LF.
  static std::string AuthFileContent(const std::string& userName, const std::string& password);
  // Writes the user name and password lines to prefix + "auth.txt" through writer,
  // readable by its owner only; returns that path. A failed write is not reported.
  static std::string WriteAuthFile(const FileWriter& writer, const std::string& prefix, const std::string& userName,
                                   const std::string& password);

  // Path of the credentials file written by this generator, empty when none.
  const std::string& GetAuthFilePath() const { return authFilePath; }

 private:
  std::string BuildProxyLine(const RequestParser& request, const FileWriter& writer);
  std::string FillTemplate(const std::string& text, const RequestParser& request, const std::string& proxyLine) const;

  int managementPort;
  std::uint32_t managementAddress;
  std::string authFilePath;
};

// The ip-win32 option lines for the request's mode word.
std::string IpWin32Text(const std::string& mode);

}  // namespace vortan
