#include "tunnel/PushedDns.h"

#include <algorithm>
#include <cctype>

#include "common/Ipv4.h"
#include "common/Text.h"

namespace vortan {
namespace {

const char* const kReceived = "PUSH: Received control message: '";
const char* const kPushReply = "PUSH_REPLY";
constexpr std::size_t kMaxDomainLength = 253;

std::vector<std::string> Words(const std::string& option) {
  std::vector<std::string> words;
  for (const std::string& word : SplitFields(option, " ")) {
    if (!word.empty()) words.push_back(word);
  }
  return words;
}

template <typename T>
void AddOnce(std::vector<T>* list, const T& value) {
  if (std::find(list->begin(), list->end(), value) == list->end()) list->push_back(value);
}

void AddServer(const std::string& text, std::vector<PushedDnsServer>* servers) {
  PushedDnsServer server;
  if (ParseServerText(text, &server)) AddOnce(servers, server);
}

void AddDomain(const std::string& text, std::vector<std::string>* domains) {
  std::string domain;
  if (CleanDomain(text, &domain)) AddOnce(domains, domain);
}

bool ParsePort(const std::string& text, std::uint16_t* port) {
  if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), ::isdigit)) return false;
  const unsigned long value = std::stoul(text);
  if (value == 0 || value > 65535) return false;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

bool IsIpv6Text(const std::string& text) {
  auto allowed = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'; };
  return text.find(':') != std::string::npos && text.size() <= 45 && std::all_of(text.begin(), text.end(), allowed);
}

void AddDhcpOption(const std::vector<std::string>& words, PushedDns* pushed) {
  if (words.size() < 3) return;
  const std::string& kind = words[1];
  if (kind == "DNS" || kind == "DNS6") AddServer(words[2], &pushed->dhcpServers);
  if (kind == "DOMAIN" || kind == "DOMAIN-SEARCH" || kind == "ADAPTER_DOMAIN_SUFFIX") {
    AddDomain(words[2], &pushed->searchDomains);
  }
}

// "dns server N address A [A...]", "dns server N resolve-domains D [D...]",
// "dns search-domains D [D...]".
void AddDnsOption(const std::vector<std::string>& words, PushedDns* pushed) {
  if (words.size() >= 3 && words[1] == "search-domains") {
    for (std::size_t i = 2; i < words.size(); ++i) AddDomain(words[i], &pushed->searchDomains);
    return;
  }
  if (words.size() < 5 || words[1] != "server") return;
  for (std::size_t i = 4; i < words.size(); ++i) {
    if (words[3] == "address") AddServer(words[i], &pushed->dnsServers);
    if (words[3] == "resolve-domains") AddDomain(words[i], &pushed->routingDomains);
  }
}

}  // namespace

bool CleanDomain(const std::string& text, std::string* domain) {
  std::string name = text;
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty() || name.size() > kMaxDomainLength || name.front() == '.' || name.front() == '-') return false;
  if (name.find("..") != std::string::npos) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') return false;
  }
  *domain = name;
  return true;
}

bool ParseServerText(const std::string& text, PushedDnsServer* server) {
  std::string address = text;
  std::uint16_t port = 0;
  if (!address.empty() && address.front() == '[') {
    const std::string::size_type close = address.find(']');
    if (close == std::string::npos) return false;
    const std::string rest = address.substr(close + 1);
    address = address.substr(1, close - 1);
    if (!rest.empty() && (rest[0] != ':' || !ParsePort(rest.substr(1), &port))) return false;
    if (!IsIpv6Text(address)) return false;
  } else if (std::count(address.begin(), address.end(), ':') == 1) {
    const std::string::size_type colon = address.find(':');
    if (!ParsePort(address.substr(colon + 1), &port)) return false;
    address.erase(colon);
  }
  std::uint32_t ipv4 = 0;
  if (!ParseDottedQuad(address, &ipv4) && !IsIpv6Text(address)) return false;
  if (ipv4 == 0 && address.find(':') == std::string::npos) return false;
  server->address = address;
  server->port = port;
  return true;
}

void AddPushedOptions(const std::string& reply, PushedDns* pushed) {
  const std::vector<std::string> options = SplitFields(reply, ",");
  if (options.empty() || options[0] != kPushReply) return;
  pushed->continues = false;
  for (std::size_t i = 1; i < options.size(); ++i) {
    const std::vector<std::string> words = Words(options[i]);
    if (words.empty()) continue;
    if (words[0] == "dhcp-option") AddDhcpOption(words, pushed);
    if (words[0] == "dns") AddDnsOption(words, pushed);
    if (words[0] == "redirect-gateway") pushed->redirectGateway = true;
    if (words[0] == "push-continuation" && words.size() > 1 && words[1] == "2") pushed->continues = true;
  }
}

bool ReadPushReplyLog(const std::string& logValue, PushedDns* pushed) {
  const std::string::size_type start = logValue.find(kReceived);
  if (start == std::string::npos) return false;
  const std::string::size_type body = start + std::char_traits<char>::length(kReceived);
  const std::string::size_type end = logValue.rfind('\'');
  if (end == std::string::npos || end < body) return false;
  const std::string reply = logValue.substr(body, end - body);
  if (reply.rfind(kPushReply, 0) != 0) return false;
  if (!pushed->continues) *pushed = PushedDns();
  AddPushedOptions(reply, pushed);
  return true;
}

}  // namespace vortan
