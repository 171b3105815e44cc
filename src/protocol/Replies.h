#pragma once

#include <string>

#include "tunnel/TunnelOutcome.h"

namespace vortan {

// The line that greets every admitted client.
inline constexpr const char* kWelcome = "Welcome to VortanVpnService management Interface \r";

// The help reply, also the reply to any line that is no command.
const std::string& HelpText();

// The "version" reply: the implementation's version and the protocol version it
// speaks.
std::string VersionReply();

// The reply to "start" or "shutdown" for what it came to. Error replies that the
// controller's log has always carried are logged here, on its logger.
std::string TunnelReply(const TunnelOutcome& outcome);

}  // namespace vortan
