#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vortan {

// A name server the VPN server pushed: an IPv4 or IPv6 address as written, and its port
// (0: the standard one).
struct PushedDnsServer {
  std::string address;
  std::uint16_t port = 0;
  bool operator==(const PushedDnsServer& other) const { return address == other.address && port == other.port; }
};

// What a VPN server pushed about names, gathered from the push replies of one
// connection. Every text in it has been checked: addresses are addresses and domains
// are host names, whatever the server sent.
struct PushedDns {
  std::vector<PushedDnsServer> dhcpServers;  // "dhcp-option DNS"/"DNS6"
  std::vector<PushedDnsServer> dnsServers;   // OpenVPN 2.6 "dns server N address"
  std::vector<std::string> searchDomains;    // "dhcp-option DOMAIN"/"DOMAIN-SEARCH", "dns search-domains"
  std::vector<std::string> routingDomains;   // "dns server N resolve-domains"
  bool redirectGateway = false;              // "redirect-gateway": the tunnel carries everything
  bool continues = false;                    // the last reply announced another part

  // The servers to use: those of the "dns" options take precedence, as in OpenVPN.
  const std::vector<PushedDnsServer>& Servers() const { return dnsServers.empty() ? dhcpServers : dnsServers; }
  bool Empty() const { return Servers().empty() && searchDomains.empty() && routingDomains.empty(); }
};

// Takes in one ">LOG" value of the management channel; when it reports a push reply
// received, its options are added to *pushed (a reply that starts a new push, after a
// complete one, starts afresh). True when the line was a push reply.
bool ReadPushReplyLog(const std::string& logValue, PushedDns* pushed);

// Adds the options of one push reply ("PUSH_REPLY,opt,opt,...") to *pushed.
void AddPushedOptions(const std::string& reply, PushedDns* pushed);

// A domain as a resolver may be given it: letters, digits, '-', '_' and dots, at most
// 253 characters; a final dot is dropped. False for anything else.
bool CleanDomain(const std::string& text, std::string* domain);

// "addr", "addr:port" (IPv4) or "[addr]:port"/bare IPv6: false for anything else.
bool ParseServerText(const std::string& text, PushedDnsServer* server);

}  // namespace vortan
