#pragma once

#include <string>

namespace vortan {

// The line that greets every admitted client.
inline constexpr const char* kWelcome = "Welcome to VortanVpnService management Interface \r";

// The help reply, also the reply to any line that is no command.
const std::string& HelpText();

// The "version" reply: the implementation's version and the protocol version it
// speaks.
std::string VersionReply();

}  // namespace vortan
