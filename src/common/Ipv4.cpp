#include "common/Ipv4.h"

#include <cstring>

namespace vortan {

std::uint32_t HostToNet(std::uint32_t hostAddress) {
  unsigned char bytes[4] = {static_cast<unsigned char>(hostAddress >> 24),
                            static_cast<unsigned char>(hostAddress >> 16),
                            static_cast<unsigned char>(hostAddress >> 8),
                            static_cast<unsigned char>(hostAddress)};
  std::uint32_t netAddress;
  std::memcpy(&netAddress, bytes, 4);
  return netAddress;
}

std::uint32_t NetToHost(std::uint32_t netAddress) {
  unsigned char bytes[4];
  std::memcpy(bytes, &netAddress, 4);
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

bool ParseDottedQuad(const std::string& text, std::uint32_t* netAddress) {
  std::uint32_t host = 0;
  int parts = 0;
  std::size_t i = 0;
  while (parts < 4) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    std::uint32_t value = 0;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      // inet_pton refuses a part with a leading zero, such as "01".
      if (digits == 1 && value == 0) return false;
      value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
      if (value > 255) return false;
      ++digits;
      ++i;
    }
    host = (host << 8) | value;
    ++parts;
    if (parts < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  if (i != text.size()) return false;
  *netAddress = HostToNet(host);
  return true;
}

namespace {

// One part of an inet_addr text: returns false on a bad digit or overflow.
bool ParseInetPart(const std::string& text, std::size_t* position, std::uint64_t* value) {
  std::size_t i = *position;
  unsigned base = 10;
  if (i < text.size() && text[i] == '0') {
    base = 8;
    ++i;
    if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
      base = 16;
      ++i;
    }
  }
  std::uint64_t result = 0;
  bool anyDigit = base == 8;  // a lone "0" is a valid octal zero
  for (; i < text.size(); ++i) {
    char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    else break;
    if (digit >= base) return false;
    result = result * base + digit;
    if (result > 0xFFFFFFFFull) return false;
    anyDigit = true;
  }
  if (!anyDigit) return false;
  *position = i;
  *value = result;
  return true;
}

}  // namespace

std::uint32_t InetAddr(const std::string& text) {
  std::uint64_t parts[4];
  int count = 0;
  std::size_t i = 0;
  for (;;) {
    if (count == 4) return kAllOnes;
    if (!ParseInetPart(text, &i, &parts[count])) return kAllOnes;
    ++count;
    if (i < text.size() && text[i] == '.') {
      ++i;
      continue;
    }
    break;
  }
  // Like inet_aton, trailing text after white space is ignored; anything else fails.
  if (i < text.size() && std::strchr(" \t\n\v\f\r", text[i]) == nullptr) return kAllOnes;
  std::uint64_t host = 0;
  static const std::uint64_t kLastPartLimit[] = {0, 0xFFFFFFFFull, 0xFFFFFFull, 0xFFFFull, 0xFFull};
  for (int k = 0; k < count - 1; ++k) {
    if (parts[k] > 0xFF) return kAllOnes;
    host |= parts[k] << (24 - 8 * k);
  }
  if (parts[count - 1] > kLastPartLimit[count]) return kAllOnes;
  host |= parts[count - 1];
  return HostToNet(static_cast<std::uint32_t>(host));
}

std::string FormatDotted(std::uint32_t netAddress) {
  std::uint32_t host = NetToHost(netAddress);
  return std::to_string(host >> 24) + "." + std::to_string((host >> 16) & 0xFF) + "." +
         std::to_string((host >> 8) & 0xFF) + "." + std::to_string(host & 0xFF);
}

}  // namespace vortan
