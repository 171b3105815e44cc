#pragma once

#include <cstdint>
#include <vector>

#include "platform/HostNetwork.h"

namespace vortan {

// How a destination network relates to the host's own networks.
enum class ConflictKind {
  None = 0,            // no conflict: added
  DnsServer = 1,       // a DNS server of the host lies in it: refused
  Gateway = 2,         // a gateway of an active adapter lies in it: refused
  LocalAddress = 3,    // an address of a larger host network lies in it: refused
  WinsServer = 4,      // a WINS server of an active adapter lies in it: refused
  SubnetOfLan = 5,     // it lies inside a host network: added with a warning
  HidesLan = 6         // a host network lies inside it: refused
};

// A destination network (network order) classified against the host, with the host
// entry that caused the conflict: for an adapter, the first entry of the list that
// matched (its first address and mask, its first gateway, its WINS server); for a DNS
// server the server itself. The entry is 0/0 without a conflict; servers have mask 0.
struct Conflict {
  ConflictKind kind = ConflictKind::None;
  std::uint32_t destination = 0;
  std::uint32_t mask = 0;
  std::uint32_t entryAddress = 0;
  std::uint32_t entryMask = 0;
};

// The conflict analysis over the host's adapters (loopback ones left out: no LAN the
// destination could collide with) and DNS servers. Pure: the caller read them.
Conflict AnalyseConflict(const std::vector<platform::Adapter>& adapters, const std::vector<std::uint32_t>& dnsServers,
                         std::uint32_t destination, std::uint32_t mask);

}  // namespace vortan
