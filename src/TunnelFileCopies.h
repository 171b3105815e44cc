#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "OpenVpnConfigManager.h"
#include "OpenVpnFileReferences.h"
#include "RequestParser.h"
#include "STunnelConfigManager.h"

namespace vortan {

// The files OpenVPN or stunnel reads for one tunnel, as root-only copies. Both run as
// root: a file named in their configuration is read here with the requesting user's
// rights (regular files of bounded size only, so a link to a root-only key or a FIFO
// gets no further), and they are given a configuration that names only the copies.
class TunnelFileCopies {
 public:
  // Reads every file the generated configuration names; a relative name is taken from
  // the directory of the client's configuration file. The proxy credentials come from
  // the request's words. Throws std::runtime_error "Cannot read file : " + path.
  TunnelFileCopies(const OpenVpnConfigManager& config, const RequestParser& request, std::uint32_t uid);
  // The same for stunnel, whose relative names are taken from its working directory.
  TunnelFileCopies(const STunnelConfigManager& config, const std::string& workingDirectory, std::uint32_t uid);

  // Writes the copies and the configuration that names them, as configName, into
  // directory (created root-only); returns the configuration's path. Each path is
  // appended to written before its file is made, so that a failure leaves nothing
  // untracked. Throws std::runtime_error "Cannot write file : " + path.
  std::string Write(const std::string& directory, const std::string& configName,
                    std::vector<std::string>* written) const;

 private:
  struct Copy {
    std::string name;  // in the private directory
    std::string content;
  };

  bool openVpn_;  // OpenVPN's quoting, else stunnel's plain values
  std::string configText_;
  std::vector<FileReference> references_;
  std::vector<Copy> copies_;  // one per reference
};

// Writes content to path, readable by root only; throws "Cannot write file : " + path.
void WriteRootOnlyFile(const std::string& path, const std::string& content);

// Deletes the files and forgets them.
void RemoveFiles(std::vector<std::string>* paths);

}  // namespace vortan
