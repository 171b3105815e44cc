#pragma once

#include <cstdint>
#include <string>

#include "platform/Error.h"

// A loopback TCP endpoint that only the service's own children may connect to: stunnel's
// accept end of the QBR tunnel carries the tunnel owner's proxy credentials, so no other
// local user may reach it.
namespace platform {

// Refuses connections to address (network byte order) and port from every local user
// but the administrator the service and its children run as. Replaces a guard this
// service set for the same endpoint before. Returns success or the platform error, with
// a description in *detail when there is one.
Error GuardEndpoint(std::uint32_t address, int port, std::string* detail);

// Removes the guard of GuardEndpoint; nothing when there is none.
Error ReleaseEndpointGuard(std::uint32_t address, int port, std::string* detail);

}  // namespace platform
