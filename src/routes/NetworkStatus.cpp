#include "routes/NetworkStatus.h"

#include <stdexcept>

#include "common/Ipv4.h"

namespace vortan {
namespace {

const char* const kRefusalPrefix = "Unable to add Brix LAN device(s) network.<BR / >the Brix's LAN (";

// An empty text is an unset entry, like 0.0.0.0.
std::uint32_t Value(const std::string& text) { return text.empty() ? 0 : InetAddr(text); }

bool IsActive(const AdapterInfo& adapter) {
  // An adapter whose status cannot be read counts as active.
  return !adapter.status.has_value() || *adapter.status > platform::OperStatus::Disconnected;
}

IpAddrString EntryOf(std::uint32_t address, std::uint32_t mask) {
  return {FormatDotted(address), FormatDotted(mask)};
}

// A server address without a mask; 0.0.0.0 for none.
IpAddrString ServerEntry(std::uint32_t address) { return {FormatDotted(address), ""}; }

}  // namespace

ConflictKind NetworkStatus::Analyse(const std::string& destination, const std::string& netmask) {
  conflictEntry_ = IpAddrString{};
  const std::uint32_t d = Value(destination);
  const std::uint32_t dm = Value(netmask);
  LoadCopies();

  // The entry's address lies in the destination network.
  auto inside = [&](const IpAddrString& entry) {
    std::uint32_t a = Value(entry.address);
    return a != 0 && dm != 0 && (a & dm) == (d & dm);
  };
  // The entry's whole network lies in the destination network.
  auto within = [&](const IpAddrString& entry) {
    std::uint32_t a = Value(entry.address);
    std::uint32_t am = Value(entry.mask);
    return a != 0 && am != 0 && (a & dm) == (d & dm) && (dm & ~am) == 0;
  };
  // The destination address lies in the entry's network.
  auto contains = [&](const IpAddrString& entry) {
    std::uint32_t a = Value(entry.address);
    std::uint32_t am = Value(entry.mask);
    return a != 0 && am != 0 && (d & am) == (a & am);
  };
  auto addresses = [](const AdapterInfo& adapter) { return adapter.addresses; };
  auto gateways = [](const AdapterInfo& adapter) { return adapter.gateways; };
  auto primaryWins = [](const AdapterInfo& adapter) { return std::vector<IpAddrString>{adapter.primaryWins}; };
  auto secondaryWins = [](const AdapterInfo& adapter) { return std::vector<IpAddrString>{adapter.secondaryWins}; };

  // The order decides between overlapping cases: a host network equal to or inside
  // the destination is kind 6 although its address also lies in the destination.
  if (FindActiveAdapterEntry(addresses, within)) return ConflictKind::HidesLan;
  if (FindActiveAdapterEntry(addresses, inside)) return ConflictKind::LocalAddress;
  for (const IpAddrString& server : networkParams_->dnsServers) {
    if (inside(server)) {
      conflictEntry_ = server;
      return ConflictKind::DnsServer;
    }
  }
  if (FindActiveAdapterEntry(gateways, inside)) return ConflictKind::Gateway;
  if (FindActiveAdapterEntry(primaryWins, inside)) return ConflictKind::WinsServer;
  if (FindActiveAdapterEntry(secondaryWins, inside)) return ConflictKind::WinsServer;
  if (dm != kAllOnes && FindActiveAdapterEntry(addresses, contains)) return ConflictKind::SubnetOfLan;
  return ConflictKind::None;
}

void NetworkStatus::LoadCopies() {
  if (!networkParams_) networkParams_ = FetchNetworkParams();
  if (!networkParams_) throw std::runtime_error("could not allocate memory for GetNetworkParams call");
  if (!adapters_) adapters_ = FetchAdapters();
  if (!adapters_) throw std::runtime_error("could not allocate memory for GetAdaptersInfo call");
}

bool NetworkStatus::FindActiveAdapterEntry(const EntryList& entries, const EntryTest& test) {
  for (const AdapterInfo& adapter : *adapters_) {
    std::vector<IpAddrString> list = entries(adapter);
    bool matched = false;
    for (const IpAddrString& entry : list) matched = matched || test(entry);
    if (matched && IsActive(adapter)) {
      conflictEntry_ = list.front();
      return true;
    }
  }
  return false;
}

std::string NetworkStatus::Message(ConflictKind kind, const std::string& destination, const std::string& netmask,
                                   const IpAddrString& entry) {
  const std::string network = destination + "/" + netmask;
  const std::string entryNetwork = entry.address + "/" + entry.mask;
  switch (kind) {
    case ConflictKind::None:
      return "Brix LAN devices network added.";
    case ConflictKind::DnsServer:
      return kRefusalPrefix + network + ") is in conflict with registered DNS address on this computer (" +
             entry.address + ").";
    case ConflictKind::Gateway:
      return kRefusalPrefix + network + ") is in conflict with registered Gateway address on this computer (" +
             entry.address + ").";
    case ConflictKind::LocalAddress:
      return kRefusalPrefix + network + ") is in conflict with local IP address on this computer (" + entryNetwork +
             ").";
    case ConflictKind::WinsServer:
      return kRefusalPrefix + network + ") is in conflict with a known service IP address on this computer's LAN (" +
             entry.address + ").";
    case ConflictKind::SubnetOfLan:
      return "Brix LAN devices network added with possible conflicts.<BR / >the Brix's LAN (" + network +
             ") is a subnet of this computer's LAN (" + entryNetwork + "). Some local services might not be available.";
    case ConflictKind::HidesLan:
      return kRefusalPrefix + network + ") would be hiding one of this computer's LAN (" + entryNetwork + ").";
  }
  return {};
}

// Loopback interfaces are left out as they are no LAN the destination could collide with.
std::vector<AdapterInfo> NetworkStatus::CopyAdapters(const std::vector<platform::Adapter>& adapters) {
  std::vector<AdapterInfo> copy;
  for (const platform::Adapter& adapter : adapters) {
    if (adapter.loopback) continue;
    AdapterInfo info;
    info.index = adapter.index;
    for (const auto& entry : adapter.addresses) info.addresses.push_back(EntryOf(entry.address, entry.mask));
    for (std::uint32_t gateway : adapter.gateways) info.gateways.push_back(ServerEntry(gateway));
    info.primaryWins = ServerEntry(adapter.primaryWins);
    info.secondaryWins = ServerEntry(adapter.secondaryWins);
    info.status = adapter.status;
    copy.push_back(std::move(info));
  }
  return copy;
}

std::unique_ptr<std::vector<AdapterInfo>> NetworkStatus::FetchAdapters() {
  std::vector<platform::Adapter> adapters;
  if (platform::ListAdapters(&adapters).Failed()) return nullptr;
  return std::make_unique<std::vector<AdapterInfo>>(CopyAdapters(adapters));
}

std::unique_ptr<NetworkParams> NetworkStatus::FetchNetworkParams() {
  std::vector<std::uint32_t> servers;
  if (platform::ListDnsServers(&servers).Failed()) return nullptr;
  auto copy = std::make_unique<NetworkParams>();
  for (std::uint32_t server : servers) copy->dnsServers.push_back(ServerEntry(server));
  return copy;
}

}  // namespace vortan
