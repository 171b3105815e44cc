#pragma once

#include <cstdint>
#include <vector>

namespace platform {

// The IPv4 name servers systemd-resolved uses, its global ones and those of each link,
// leaving out the links of TUN/TAP devices (a tunnel's servers are reached through the
// tunnel anyway). Addresses in network byte order; nothing where resolved does not run.
std::vector<std::uint32_t> ResolvedServers();

}  // namespace platform
