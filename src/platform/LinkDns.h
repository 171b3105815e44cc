#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Name resolution settings of one network link, held by the system's resolver.
namespace platform {

struct LinkDnsServer {
  std::string address;     // IPv4 or IPv6 text
  std::uint16_t port = 0;  // 0: the standard port
};

struct LinkDnsSettings {
  std::vector<LinkDnsServer> servers;
  std::vector<std::string> searchDomains;   // names are completed with these, and looked up here
  std::vector<std::string> routingDomains;  // names under these are looked up here only
  bool defaultRoute = false;                // every other name is looked up here too
};

enum class LinkDnsOutcome {
  kApplied,
  kNoResolver,  // no resolver that takes per-link settings runs on this host
  kFailed,      // one runs, but refused or did not answer: *failure says why
};

// Gives the link (by interface index) the settings, replacing what it had.
LinkDnsOutcome SetLinkDns(std::uint32_t linkIndex, const LinkDnsSettings& settings, std::string* failure);

// Takes back everything set on the link. Quiet where nothing is there to take back.
void RevertLinkDns(std::uint32_t linkIndex);

// True where the tunnel program gives the pushed settings to the tunnel's adapter
// itself, so that the service leaves them alone.
bool TunnelProgramAppliesDns();

}  // namespace platform
