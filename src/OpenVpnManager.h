#pragma once

#include <string>

namespace vortan {

struct SessionStart;

// Controller of the OpenVPN program: one per process, built in the entry function.
class OpenVpnManager {
 public:
  OpenVpnManager();
  virtual ~OpenVpnManager();
  OpenVpnManager(const OpenVpnManager&) = delete;
  OpenVpnManager& operator=(const OpenVpnManager&) = delete;

  // The reply to "start": args is the request after its first five characters.
  std::string Start(const std::string& args, SessionStart& session);
  // Closes the tunnel; returns when it is closed.
  void Shutdown();
};

}  // namespace vortan
