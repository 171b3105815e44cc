#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Tcp.h"

// IPv4 datagram sockets for the tunnel announcement. Addresses are in network byte
// order, ports in host order. Every call returns 0 or the platform error code; the
// handle is closed with CloseSocket and bound with BindSocket (platform/Tcp.h).
namespace platform {

int OpenUdpSocket(SocketHandle* handle);
int SetNonBlocking(SocketHandle handle);
// Allows sending to broadcast addresses.
int EnableBroadcast(SocketHandle handle);
// One datagram of exactly size bytes; *sent is what the platform took.
int SendDatagram(SocketHandle handle, std::uint32_t address, int port, const char* data, std::size_t size,
                 std::size_t* sent);

// The first IPv4 address of a host name or address text; 0 or a resolver error code,
// whose text ResolveErrorText gives.
int ResolveIpv4(const std::string& host, std::uint32_t* address);
std::string ResolveErrorText(int code);

}  // namespace platform
