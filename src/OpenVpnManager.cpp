#include "OpenVpnManager.h"

#include "RequestParser.h"

namespace vortan {

OpenVpnManager::OpenVpnManager() = default;
OpenVpnManager::~OpenVpnManager() = default;

std::string OpenVpnManager::Start(const std::string&, SessionStart&) {
  return MakeResponse(false, false, 1, "NOT IMPLEMENTED");
}

void OpenVpnManager::Shutdown() {}

}  // namespace vortan
