#include "protocol/RequestLog.h"

#include <vector>

#include "common/Text.h"

namespace vortan {
namespace {

// Position, counted from 0 after "start", of the first word that may be a credential
// (the proxy user name).
constexpr std::size_t kFirstCredentialWord = 8;
constexpr std::size_t kLoggedRequestBytes = 512;

// Raw blank-separated words: a quoted word counts as several, so the masking starts
// at, or before, the word the parser would take as the user name.
std::string WithStartCredentialsMasked(const std::string& request) {
  const std::vector<std::string> words = SplitFields(TrimLine(request.substr(5)), kLineWhitespace);
  std::string copy = "start";
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i].empty()) continue;
    copy += " ";
    copy += i < kFirstCredentialWord ? words[i] : "********";
  }
  return copy;
}

std::string HideProxyParameters(const std::string& text) {
  const std::string::size_type proxy = text.rfind("proxy");
  return proxy == std::string::npos ? text : text.substr(0, proxy) + "proxy OBFUCATED PARAMS";
}

bool IsContinuationByte(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// One character as the log shows it: control characters (C0, DEL and, as two UTF-8
// bytes, C1) as escapes, so that a request cannot move a terminal's cursor, rewrite a
// line or add one. Returns the bytes the character took in the request.
std::size_t AppendCharacter(const std::string& text, std::size_t at, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  const unsigned char first = static_cast<unsigned char>(text[at]);
  if (IsControlByte(text[at])) {
    *out += std::string("\\x") + kHex[first >> 4] + kHex[first & 0xF];
    return 1;
  }
  std::size_t end = at + 1;
  while (end < text.size() && IsContinuationByte(static_cast<unsigned char>(text[end]))) ++end;
  const unsigned char second = end - at == 2 ? static_cast<unsigned char>(text[at + 1]) : 0;
  if (first == 0xC2 && second >= 0x80 && second <= 0x9F) {
    *out += std::string("\\u00") + kHex[second >> 4] + kHex[second & 0xF];
  } else {
    out->append(text, at, end - at);
  }
  return end - at;
}

// Escaped, and a long line cut to at most kLoggedRequestBytes at a character's end, so
// that a client cannot roll the log files away or leave half a character behind.
std::string ShortenedForLog(const std::string& copy, std::size_t requestBytes) {
  std::string shown;
  std::size_t at = 0;
  while (at < copy.size()) {
    std::string character;
    const std::size_t taken = AppendCharacter(copy, at, &character);
    if (shown.size() + character.size() > kLoggedRequestBytes) {
      return shown + "... (" + std::to_string(requestBytes) + " bytes)";
    }
    shown += character;
    at += taken;
  }
  return shown;
}

}  // namespace

// Lines that would expose credentials in the log: every word of a "start" request from
// the proxy user name on, whatever the word count, and everything from the last "proxy"
// on. Control characters are escaped and a long line is cut.
std::string LogCopy(const std::string& request) {
  const std::string copy = StartsWith(request, "start") ? WithStartCredentialsMasked(request) : request;
  return ShortenedForLog(HideProxyParameters(copy), request.size());
}

// A web page can make a browser send an HTTP request to a loopback port; no real
// client starts with such a line, so the connection is dropped without a reply.
bool LooksLikeHttp(const std::string& line) {
  static const char* const kMethods[] = {"GET ",     "POST ",  "PUT ",     "DELETE ", "HEAD ",
                                         "OPTIONS ", "PATCH ", "CONNECT ", "TRACE ",  "PRI "};
  for (const char* method : kMethods) {
    if (StartsWith(line, method)) return true;
  }
  return StartsWith(ToLowerAscii(line.substr(0, 5)), "host:");
}

}  // namespace vortan
