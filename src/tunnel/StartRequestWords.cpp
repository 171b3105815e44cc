#include "tunnel/StartRequestWords.h"

#include <vector>

#include "common/Text.h"
#include "platform/PathRules.h"

namespace vortan {
namespace {

constexpr std::size_t kMaxHostName = 253;
constexpr std::size_t kMaxLabel = 63;
constexpr std::size_t kMaxIpv6Groups = 8;
constexpr std::size_t kMaxIpv6GroupDigits = 4;
constexpr std::size_t kMaxPortDigits = 5;
constexpr int kMaxPort = 65535;
// IFNAMSIZ less the terminating zero; OpenVPN cuts longer names silently.
constexpr std::size_t kMaxInterfaceName = 15;
// OpenVPN refuses a configuration line of this many bytes or more, its line end
// included ("Maximum option line length (256) exceeded").
constexpr std::size_t kOpenVpnLineLimit = 256;
// What the generators end a template line with (the line's LF becomes CR LF, after the
// CR the template reading adds).
constexpr std::size_t kLineEndBytes = 3;
// Longer than any method OpenVPN or stunnel knows; keeps the proxy line well short of
// OpenVPN's line limit.
constexpr std::size_t kMaxProxyMethod = 32;

bool IsAsciiLetterOrDigit(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Underscores are common in internal DNS names, though not in RFC 1123 ones.
bool IsLabel(const std::string& label) {
  if (label.empty() || label.size() > kMaxLabel) return false;
  if (label.front() == '-' || label.back() == '-') return false;
  for (char c : label) {
    if (!IsAsciiLetterOrDigit(c) && c != '-' && c != '_') return false;
  }
  return true;
}

bool IsDnsName(std::string word) {
  if (!word.empty() && word.back() == '.') word.pop_back();  // the root, written out
  if (word.empty() || word.size() > kMaxHostName) return false;
  std::vector<std::string> labels(1);
  for (char c : word) {
    if (c == '.') {
      labels.emplace_back();
    } else {
      labels.back() += c;
    }
  }
  for (const std::string& label : labels) {
    if (!IsLabel(label)) return false;
  }
  return true;
}

// The groups between colons; the empty text has none.
bool CountIpv6Groups(const std::string& text, std::size_t* count) {
  *count = 0;
  if (text.empty()) return true;
  std::size_t digits = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ':') {
      if (digits == 0 || digits > kMaxIpv6GroupDigits) return false;
      ++*count;
      digits = 0;
    } else if (IsHexDigit(text[i])) {
      ++digits;
    } else {
      return false;
    }
  }
  return true;
}

// Eight groups of up to four hex digits, or fewer with one "::" standing for the rest.
bool IsIpv6Literal(const std::string& word) {
  const std::size_t gap = word.find("::");
  std::size_t left = 0;
  std::size_t right = 0;
  if (gap == std::string::npos) return CountIpv6Groups(word, &left) && left == kMaxIpv6Groups;
  if (word.find(':', gap + 2) == gap + 2 || word.find("::", gap + 1) != std::string::npos) return false;
  return CountIpv6Groups(word.substr(0, gap), &left) && CountIpv6Groups(word.substr(gap + 2), &right) &&
         left + right < kMaxIpv6Groups;
}

// "remote HOST PORT" must reach OpenVPN as one line.
bool RemoteLineFits(const std::string& host, const std::string& port) {
  const std::size_t line = std::string("remote ").size() + host.size() + 1 + port.size() + kLineEndBytes;
  return line < kOpenVpnLineLimit;
}

// The part of a prefix that OpenVPN's configuration joins to file names unquoted.
std::string LastComponent(const std::string& prefix) {
  const std::size_t separator = prefix.find_last_of(platform::PathSeparators());
  return separator == std::string::npos ? prefix : prefix.substr(separator + 1);
}

// Blanks and single quotes would split or group the word, a backslash escapes the next
// character (OpenVPN refuses most such pairs), "#" or ";" where the word begins starts
// a comment, and "%" is kept out of the names the templates form, so that nothing there
// can be taken for a placeholder.
bool IsUnquotedFileWord(const std::string& component) {
  if (!component.empty() && (component.front() == '#' || component.front() == ';')) return false;
  for (char c : component) {
    if (IsBlank(c) || c == '\'' || c == '\\' || c == '%') return false;
  }
  return true;
}

bool HasNone(const std::string& method) { return Contains(method, "none"); }

// The method is written as it is into OpenVPN's proxy line and stunnel's options: one
// word of letters and digits, which both compare without regard to case. A word holding
// "none" selects a proxy without authentication and is written nowhere.
bool IsProxyMethodWord(const std::string& word) {
  if (word.empty() || word.size() > kMaxProxyMethod) return false;
  for (char c : word) {
    if (!IsAsciiLetterOrDigit(c)) return false;
  }
  return true;
}

// One line each in the credentials file and in the stunnel configuration: control
// characters would add lines. stunnel trims the blanks around a value, so through it a
// credential with blanks at either end would not be the one the user gave; OpenVPN's
// credentials file keeps them.
bool IsCredentialWord(const std::string& word, bool throughStunnel) {
  if (HasControlByte(word)) return false;
  return !throughStunnel || word.empty() || (!IsBlank(word.front()) && !IsBlank(word.back()));
}

}  // namespace

bool IsHostWord(const std::string& word) {
  if (word.find(':') != std::string::npos) return IsIpv6Literal(word);
  // A dotted IPv4 address is a host name of digit labels as far as the characters go.
  return IsDnsName(word);
}

bool IsPortWord(const std::string& word) {
  if (word.empty() || word.size() > kMaxPortDigits) return false;
  int value = 0;
  for (char c : word) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  return value >= 1 && value <= kMaxPort;
}

bool IsInterfaceNameWord(const std::string& word) {
  if (word.empty() || word.size() > kMaxInterfaceName || word == "." || word == "..") return false;
  for (char c : word) {
    if (IsBlank(c) || IsControlByte(c) || c == '"' || c == '\'' || c == '\\' || c == '#' || c == ';' || c == '%' ||
        c == '/' || c == ':' || static_cast<unsigned char>(c) >= 0x80) {
      return false;
    }
  }
  return true;
}

// The directory part reaches only the client's own copy (where the credentials path
// stands in double quotes with its backslashes doubled) and the files written at the
// prefix; OpenVPN and stunnel read copies that name the service's own files.
bool IsConfigPrefixWord(const std::string& word) {
  if (word.empty() || HasControlByte(word) || word.find('"') != std::string::npos) return false;
  if (platform::NamesRemoteFileOrDevice(word)) return false;
  return IsUnquotedFileWord(LastComponent(word));
}

bool SelectsStunnel(const std::string& protocol) {
  return protocol == "zelc" || protocol == "ZELC" || protocol == "qbr" || protocol == "QBR";
}

// The protocol and ip-win32 words only choose between fixed texts and are never written
// as given: any word without control characters will do.
std::string InvalidStartWord(const RequestParser& request) {
  if (!IsHostWord(request.GetRemoteHost()) || !RemoteLineFits(request.GetRemoteHost(), request.GetRemotePort())) {
    return "remote host";
  }
  if (!IsPortWord(request.GetRemotePort())) return "remote port";
  if (!IsConfigPrefixWord(request.GetConfigPrefix())) return "configuration prefix";
  if (!IsInterfaceNameWord(request.GetDevice())) return "device";
  if (HasControlByte(request.GetProtocol())) return "protocol";
  if (HasControlByte(request.GetIpWin32Mode())) return "ip-win32 mode";
  if (!request.HasProxy()) return std::string();
  if (!IsHostWord(request.GetProxyServer())) return "proxy server";
  if (!IsPortWord(request.GetProxyPort())) return "proxy port";
  if (!IsProxyMethodWord(request.GetProxyAuthentication())) return "proxy authentication";
  if (HasNone(request.GetProxyAuthentication())) return std::string();
  const bool throughStunnel = SelectsStunnel(request.GetProtocol());
  if (!IsCredentialWord(request.GetProxyUserName(), throughStunnel)) return "proxy user name";
  if (!IsCredentialWord(request.GetProxyPassword(), throughStunnel)) return "proxy password";
  return std::string();
}

}  // namespace vortan
