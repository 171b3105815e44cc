#include "tunnel/TunnelOwnership.h"

#include "common/Logging.h"
#include "common/StatusReply.h"

namespace vortan {

std::string CallerText(const CallerId& caller) {
  return caller ? platform::IdentityText(*caller) : std::string("unknown");
}

bool MayActOnTunnelOf(const CallerId& caller, const platform::CallerIdentity& owner) {
  return caller && (*caller == owner || platform::IsPrivileged(*caller));
}

std::string ForeignTunnelRefusal(const CallerId& caller, const platform::CallerIdentity& owner,
                                 const std::string& command) {
  CLOG(WARNING, loggers::kService) << "\"" << command << "\" refused: user " << CallerText(caller)
                                   << " asked to act on the tunnel of user " << platform::IdentityText(owner);
  return MakeResponse(false, false, 0, "The tunnel belongs to another user");
}

}  // namespace vortan
