#include "platform/LinkDns.h"

namespace platform {

// OpenVPN sets the pushed servers and domains on the TAP adapter itself.
LinkDnsOutcome SetLinkDns(std::uint32_t, const LinkDnsSettings&, std::string*) { return LinkDnsOutcome::kApplied; }

void RevertLinkDns(std::uint32_t) {}

bool TunnelProgramAppliesDns() { return true; }

}  // namespace platform
