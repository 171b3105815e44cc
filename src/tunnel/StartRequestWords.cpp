#include "tunnel/StartRequestWords.h"

#include "common/Text.h"

namespace vortan {
namespace {

constexpr std::size_t kMaxHostName = 253;
constexpr std::size_t kMaxLabel = 63;
constexpr std::size_t kMaxPortDigits = 5;
constexpr int kMaxPort = 65535;
// IFNAMSIZ less the terminating zero; OpenVPN cuts longer names silently.
constexpr std::size_t kMaxInterfaceName = 15;

bool IsAsciiLetterOrDigit(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsLabel(const std::string& label) {
  if (label.empty() || label.size() > kMaxLabel) return false;
  if (label.front() == '-' || label.back() == '-') return false;
  for (char c : label) {
    if (!IsAsciiLetterOrDigit(c) && c != '-') return false;
  }
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

// Characters that end or change a word in an OpenVPN or stunnel configuration line:
// blanks, both quotes and the backslash (OpenVPN's quoting and escapes), "#" and ";"
// (comments where a word begins), and "%" (a placeholder that a later substitution
// would fill).
bool BreaksConfigWord(char c) {
  return IsBlank(c) || IsControl(c) || c == '"' || c == '\'' || c == '\\' || c == '#' || c == ';' || c == '%';
}

bool HasNone(const std::string& method) { return Contains(method, "none"); }

// "basic" and "ntlm" are written into the configurations; a word holding "none" selects
// a proxy without authentication and is written nowhere.
bool IsProxyMethodWord(const std::string& word) {
  if (word == "basic" || word == "ntlm") return true;
  if (!HasNone(word)) return false;
  for (char c : word) {
    if (!IsAsciiLetterOrDigit(c)) return false;
  }
  return true;
}

// The protocol word only selects "udp", "tcp" or the stunnel mode: OpenVPN's own protocol
// names, in any case, and the stunnel-mode words.
bool IsProtocolWord(const std::string& word) {
  static const char* const kProtocols[] = {"udp",  "udp4",       "udp6",        "tcp", "tcp4",
                                           "tcp6", "tcp-client", "tcp4-client", "tcp6-client", "qbr",
                                           "zelc"};
  const std::string lower = ToLowerAscii(word);
  for (const char* protocol : kProtocols) {
    if (lower == protocol) return true;
  }
  return false;
}

// One line each in the credentials file and in the stunnel configuration. stunnel trims
// the blanks around a value (and OpenVPN would keep them), so a credential with leading
// or trailing blanks would not be the same on both ways; control characters would add
// lines.
bool IsCredentialWord(const std::string& word) {
  for (char c : word) {
    if (IsControl(c)) return false;
  }
  return word.empty() || (!IsBlank(word.front()) && !IsBlank(word.back()));
}

}  // namespace

bool IsHostWord(const std::string& word) {
  if (word.empty() || word.size() > kMaxHostName) return false;
  // A dotted IPv4 address is a host name of digit labels as far as the characters go.
  for (const std::string& label : SplitFields(word, ".")) {
    if (!IsLabel(label)) return false;
  }
  return word.back() != '.' && word.find("..") == std::string::npos;
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
    if (BreaksConfigWord(c) || c == '/' || c == ':' || static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool IsConfigPrefixWord(const std::string& word) {
  if (word.empty()) return false;
  for (char c : word) {
    if (BreaksConfigWord(c)) return false;
  }
  return true;
}

std::string InvalidStartWord(const RequestParser& request) {
  if (!IsHostWord(request.GetRemoteHost())) return "remote host";
  if (!IsPortWord(request.GetRemotePort())) return "remote port";
  if (!IsConfigPrefixWord(request.GetConfigPrefix())) return "configuration prefix";
  if (!IsInterfaceNameWord(request.GetDevice())) return "device";
  if (!IsProtocolWord(request.GetProtocol())) return "protocol";
  if (!request.HasProxy()) return std::string();
  if (!IsHostWord(request.GetProxyServer())) return "proxy server";
  if (!IsPortWord(request.GetProxyPort())) return "proxy port";
  if (!IsProxyMethodWord(request.GetProxyAuthentication())) return "proxy authentication";
  if (HasNone(request.GetProxyAuthentication())) return std::string();
  if (!IsCredentialWord(request.GetProxyUserName())) return "proxy user name";
  if (!IsCredentialWord(request.GetProxyPassword())) return "proxy password";
  return std::string();
}

}  // namespace vortan
