#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/HostNetwork.h"

namespace vortan {

// One address of the host's configuration as dotted texts; an empty text or 0.0.0.0
// marks it unset.
struct IpAddrString {
  std::string address;
  std::string mask;
};

// The copy of one adapter's IPv4 configuration that the analysis works on.
struct AdapterInfo {
  std::uint32_t index = 0;
  std::vector<IpAddrString> addresses;
  std::vector<IpAddrString> gateways;
  IpAddrString primaryWins;
  IpAddrString secondaryWins;
  // The interface's operational status; none when it could not be read.
  std::optional<platform::OperStatus> status;
};

struct NetworkParams {
  std::vector<IpAddrString> dnsServers;
};

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

// Classifies a destination network against a copy of the host's IPv4 configuration,
// remembering the host entry that caused the conflict. The copies are fetched on the
// first analysis and kept for the object's lifetime.
class NetworkStatus {
 public:
  NetworkStatus() = default;
  virtual ~NetworkStatus() = default;
  NetworkStatus(const NetworkStatus&) = delete;
  NetworkStatus& operator=(const NetworkStatus&) = delete;

  // Throws std::runtime_error when the host's configuration cannot be read.
  ConflictKind Analyse(const std::string& destination, const std::string& netmask);

  // The host entry behind the last conflict; empty texts after an analysis without one.
  const IpAddrString& ConflictEntry() const { return conflictEntry_; }

  // The analysis's copy of the platform's adapters; loopback adapters are left out.
  static std::vector<AdapterInfo> CopyAdapters(const std::vector<platform::Adapter>& adapters);

  // The client's text for a kind; destination and netmask as the client wrote them.
  static std::string Message(ConflictKind kind, const std::string& destination, const std::string& netmask,
                             const IpAddrString& entry);

 protected:
  // A fresh copy of the host's adapters, or none when it cannot be read.
  virtual std::unique_ptr<std::vector<AdapterInfo>> FetchAdapters();
  // A fresh copy of the host's network parameters, or none when they cannot be read.
  virtual std::unique_ptr<NetworkParams> FetchNetworkParams();

 private:
  using EntryList = std::function<std::vector<IpAddrString>(const AdapterInfo&)>;
  using EntryTest = std::function<bool(const IpAddrString&)>;

  void LoadCopies();
  // Searches the adapters in list order for an active one with an entry (of the list
  // that entries selects) passing test; the first entry of that list becomes the
  // conflict entry, whichever entry matched.
  bool FindActiveAdapterEntry(const EntryList& entries, const EntryTest& test);

  std::unique_ptr<std::vector<AdapterInfo>> adapters_;
  std::unique_ptr<NetworkParams> networkParams_;
  IpAddrString conflictEntry_;
};

}  // namespace vortan
