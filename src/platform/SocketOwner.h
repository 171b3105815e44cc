#pragma once

#include <cstdint>
#include <optional>

#include "platform/CallerIdentity.h"

// Who owns the other end of a local TCP connection.
namespace platform {

// Looks up the connected TCP socket whose own end is (address, port) and whose remote
// end is (remoteAddress, remotePort); addresses in network byte order. Sockets in a
// closing state count while a process may still hold them (after a half-close, for
// example); remnants that the system keeps after the owner closed name no owner and do
// not. Sets *owner to the socket's user and returns 0, or returns the platform error
// code (the one for "not found" when no such socket exists).
int FindTcpSocketOwner(std::uint32_t address, int port, std::uint32_t remoteAddress, int remotePort,
                       std::optional<CallerIdentity>* owner);

}  // namespace platform
