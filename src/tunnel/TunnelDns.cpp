#include "tunnel/TunnelDns.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "common/Ipv4.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "platform/HostNetwork.h"
#include "platform/LinkDns.h"

namespace vortan {
namespace {

std::atomic<bool> pushedDnsEnabled{true};

bool IsConnectedState(const std::string& type, const std::string& value) {
  return type == "STATE" && Contains(value, "CONNECTED,SUCCESS");
}

// The link that carries the tunnel's address; 0 when none does.
std::uint32_t TunnelLink(std::uint32_t address) {
  std::vector<platform::Adapter> adapters;
  if (address == 0 || (NetToHost(address) >> 24) == 127 || platform::ListAdapters(&adapters).Failed()) return 0;
  for (const platform::Adapter& adapter : adapters) {
    for (const platform::AdapterAddress& entry : adapter.addresses) {
      if (entry.address == address) return adapter.index;
    }
  }
  return 0;
}

platform::LinkDnsSettings LinkSettings(const PushedDns& pushed) {
  platform::LinkDnsSettings settings;
  for (const PushedDnsServer& server : pushed.Servers()) settings.servers.push_back({server.address, server.port});
  settings.searchDomains = pushed.searchDomains;
  settings.routingDomains = pushed.routingDomains;
  settings.defaultRoute = pushed.redirectGateway;
  return settings;
}

}  // namespace

void EnablePushedDns(bool enabled) { pushedDnsEnabled = enabled; }

TunnelDns::~TunnelDns() {
  if (link_ != 0) platform::RevertLinkDns(link_);
}

void TunnelDns::Observe(const std::string& type, const std::string& value) {
  if (type == "LOG") {
    ReadPushReplyLog(value, &pushed_);
  } else if (IsConnectedState(type, value)) {
    const std::vector<std::string> fields = SplitFields(value, ",");
    if (fields.size() >= 4) Apply(fields[3]);
    pushed_ = PushedDns();
  }
}

void TunnelDns::Apply(const std::string& tunnelAddress) {
  if (pushed_.Empty() || !pushedDnsEnabled || platform::TunnelProgramAppliesDns()) return;
  std::uint32_t address = 0;
  const std::uint32_t link = ParseDottedQuad(tunnelAddress, &address) ? TunnelLink(address) : 0;
  if (link == 0) {
    CLOG(ERROR, loggers::kOpenVpnManager) << "Cannot find the link of the tunnel address " << tunnelAddress
                                          << " for the pushed DNS servers";
    return;
  }
  std::string failure;
  switch (platform::SetLinkDns(link, LinkSettings(pushed_), &failure)) {
    case platform::LinkDnsOutcome::kApplied:
      link_ = link;
      CLOG(INFO, loggers::kOpenVpnManager)
          << "Pushed DNS set on the tunnel link (" << pushed_.Servers().size() << " servers, "
          << pushed_.searchDomains.size() + pushed_.routingDomains.size() << " domains)";
      break;
    case platform::LinkDnsOutcome::kNoResolver:
      if (!warned_) {
        CLOG(WARNING, loggers::kOpenVpnManager)
            << "The DNS servers and domains the VPN server pushed are not applied: systemd-resolved does not run";
      }
      warned_ = true;
      break;
    case platform::LinkDnsOutcome::kFailed:
      CLOG(ERROR, loggers::kOpenVpnManager) << "Cannot set the pushed DNS on the tunnel link : " << failure;
      break;
  }
}

void RevertLeftoverTunnelDns(const std::string& adapterName) {
  if (platform::TunnelProgramAppliesDns()) return;
  std::vector<platform::Adapter> adapters;
  if (platform::ListAdapters(&adapters).Failed()) return;
  for (const platform::Adapter& adapter : adapters) {
    const auto& names = adapter.friendlyNames;
    if (std::find(names.begin(), names.end(), adapterName) != names.end()) platform::RevertLinkDns(adapter.index);
  }
}

}  // namespace vortan
