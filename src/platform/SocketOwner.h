#pragma once

#include <cstdint>
#include <optional>

#include "platform/CallerIdentity.h"
#include "platform/Error.h"

// Who owns the other end of a local TCP connection.
namespace platform {

// Looks up the connected TCP socket whose own end is (address, port) and whose remote
// end is (remoteAddress, remotePort); addresses in network byte order. Sockets in a
// closing state count while a process may still hold them (after a half-close, for
// example); remnants that the system keeps after the owner closed name no owner and do
// not. Sets *owner to the socket's user and returns success, or returns the platform
// error (NotFound when no such socket exists).
Error FindTcpSocketOwner(std::uint32_t address, int port, std::uint32_t remoteAddress, int remotePort,
                         std::optional<CallerIdentity>* owner);

}  // namespace platform
