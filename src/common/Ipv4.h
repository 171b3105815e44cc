#pragma once

#include <cstdint>
#include <string>

// IPv4 address texts and values. "Net" values are in network byte order (as stored in
// an in_addr), "host" values in host order.
namespace vortan {

constexpr std::uint32_t kAllOnes = 0xFFFFFFFFu;

// Strict dotted-decimal parsing (inet_pton, AF_INET): exactly four decimal parts of
// 0..255. Returns false on anything else.
bool ParseDottedQuad(const std::string& text, std::uint32_t* netAddress);

// The classic inet_addr parser: one to four parts, each decimal, octal (leading 0) or
// hexadecimal (0x); the last part fills the remaining bytes. Returns 255.255.255.255
// (all ones) for text it rejects; note that "255.255.255.255" itself parses to that value.
std::uint32_t InetAddr(const std::string& text);

// Dotted decimal text of a network-order address.
std::string FormatDotted(std::uint32_t netAddress);

std::uint32_t NetToHost(std::uint32_t netAddress);
std::uint32_t HostToNet(std::uint32_t hostAddress);

}  // namespace vortan
