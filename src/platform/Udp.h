#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Error.h"
#include "platform/Tcp.h"

// IPv4 datagram sockets for the tunnel announcement. Addresses are in network byte
// order, ports in host order. Every call returns the platform error; the handle is
// closed with CloseSocket and bound with BindSocket (platform/Tcp.h).
namespace platform {

Error OpenUdpSocket(SocketHandle* handle);
Error SetNonBlocking(SocketHandle handle);
// Allows sending to broadcast addresses.
Error EnableBroadcast(SocketHandle handle);
// One datagram of exactly size bytes; *sent is what the platform took.
Error SendDatagram(SocketHandle handle, std::uint32_t address, int port, const char* data, std::size_t size,
                   std::size_t* sent);

// The first IPv4 address of a host name or address text. A failure carries the
// resolver's code, whose text ResolveErrorText gives.
Error ResolveIpv4(const std::string& host, std::uint32_t* address);
std::string ResolveErrorText(const Error& error);

}  // namespace platform
