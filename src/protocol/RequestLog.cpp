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

std::string ShortenedForLog(const std::string& copy, std::size_t requestBytes) {
  if (copy.size() <= kLoggedRequestBytes) return copy;
  return copy.substr(0, kLoggedRequestBytes) + "... (" + std::to_string(requestBytes) + " bytes)";
}

}  // namespace

// Lines that would expose credentials in the log: every word of a "start" request from
// the proxy user name on, whatever the word count, and everything from the last "proxy"
// on. A long line is cut, so that a client cannot roll the log files away.
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
