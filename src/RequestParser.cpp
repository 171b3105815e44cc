#include "RequestParser.h"

#include <ctime>

namespace vortan {

std::string MakeResponse(bool success, bool routeTag, std::int32_t code, const std::string& message) {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char timeText[255];
  std::strftime(timeText, sizeof timeText, "%Y%m%dT%H:%M:%S", &utc);
  const std::string codeText = std::to_string(code);
  std::string reply = success ? "SUCCESS" : "ERROR";
  reply += " | ";
  if (routeTag) reply += "RT";
  reply += codeText;
  reply += " | ";
  reply += timeText;
  reply += " | ";
  reply += message;
  reply += " (code ";
  reply += codeText;
  reply += ")";
  return reply;
}

RequestParser::RequestParser(const std::string&) { throw BadArgumentException(); }

std::vector<std::string> RequestParser::Tokenize(const std::string&) { return {}; }

}  // namespace vortan
