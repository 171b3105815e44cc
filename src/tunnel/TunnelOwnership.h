#pragma once

#include <optional>
#include <string>

#include "platform/CallerIdentity.h"

namespace vortan {

// The local user behind a session: known when the system names the owner of the
// client's socket, absent otherwise.
using CallerId = std::optional<platform::CallerIdentity>;

// The caller as log lines name it (the user id on Linux), or "unknown".
std::string CallerText(const CallerId& caller);

// True when caller may act on a tunnel that owner started: the owner and a privileged
// user (root) may.
bool MayActOnTunnelOf(const CallerId& caller, const platform::CallerIdentity& owner);

// The error reply (logged) for a caller who may not act on a tunnel that another user
// started.
std::string ForeignTunnelRefusal(const CallerId& caller, const platform::CallerIdentity& owner,
                                 const std::string& command);

}  // namespace vortan
