#include "routes/NetworkStatus.h"

#include "common/Ipv4.h"

namespace vortan {
namespace {

bool IsActive(const platform::Adapter& adapter) { return adapter.status > platform::OperStatus::Disconnected; }

struct Entry {
  std::uint32_t address;
  std::uint32_t mask;
};

// The lists of one adapter the steps search, each in platform order.
std::vector<Entry> Addresses(const platform::Adapter& adapter) {
  std::vector<Entry> entries;
  for (const platform::AdapterAddress& entry : adapter.addresses) entries.push_back({entry.address, entry.mask});
  return entries;
}
std::vector<Entry> Gateways(const platform::Adapter& adapter) {
  std::vector<Entry> entries;
  for (std::uint32_t gateway : adapter.gateways) entries.push_back({gateway, 0});
  return entries;
}
std::vector<Entry> PrimaryWins(const platform::Adapter& adapter) { return {{adapter.primaryWins, 0}}; }
std::vector<Entry> SecondaryWins(const platform::Adapter& adapter) { return {{adapter.secondaryWins, 0}}; }

}  // namespace

Conflict AnalyseConflict(const std::vector<platform::Adapter>& adapters, const std::vector<std::uint32_t>& dnsServers,
                         std::uint32_t destination, std::uint32_t mask) {
  const std::uint32_t d = destination;
  const std::uint32_t dm = mask;
  Conflict conflict;
  conflict.destination = destination;
  conflict.mask = mask;

  // The entry's address lies in the destination network.
  auto inside = [&](const Entry& entry) { return entry.address != 0 && dm != 0 && (entry.address & dm) == (d & dm); };
  // The entry's whole network lies in the destination network.
  auto within = [&](const Entry& entry) {
    return entry.address != 0 && entry.mask != 0 && (entry.address & dm) == (d & dm) && (dm & ~entry.mask) == 0;
  };
  // The destination address lies in the entry's network.
  auto contains = [&](const Entry& entry) {
    return entry.address != 0 && entry.mask != 0 && (d & entry.mask) == (entry.address & entry.mask);
  };
  // Searches the active adapters in list order for an entry passing test; the first
  // entry of that list becomes the conflict's entry, whichever entry matched.
  auto found = [&](ConflictKind kind, std::vector<Entry> (*list)(const platform::Adapter&), auto test) {
    for (const platform::Adapter& adapter : adapters) {
      if (adapter.loopback) continue;
      const std::vector<Entry> entries = list(adapter);
      bool matched = false;
      for (const Entry& entry : entries) matched = matched || test(entry);
      if (matched && IsActive(adapter)) {
        conflict.kind = kind;
        conflict.entryAddress = entries.front().address;
        conflict.entryMask = entries.front().mask;
        return true;
      }
    }
    return false;
  };

  // The order decides between overlapping cases: a host network equal to or inside
  // the destination is kind 6 although its address also lies in the destination.
  if (found(ConflictKind::HidesLan, Addresses, within)) return conflict;
  if (found(ConflictKind::LocalAddress, Addresses, inside)) return conflict;
  for (std::uint32_t server : dnsServers) {
    if (inside(Entry{server, 0})) {
      conflict.kind = ConflictKind::DnsServer;
      conflict.entryAddress = server;
      return conflict;
    }
  }
  if (found(ConflictKind::Gateway, Gateways, inside)) return conflict;
  if (found(ConflictKind::WinsServer, PrimaryWins, inside)) return conflict;
  if (found(ConflictKind::WinsServer, SecondaryWins, inside)) return conflict;
  if (dm != kAllOnes && found(ConflictKind::SubnetOfLan, Addresses, contains)) return conflict;
  return conflict;
}

}  // namespace vortan
