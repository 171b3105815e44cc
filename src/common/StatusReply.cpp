#include "common/StatusReply.h"

#include <ctime>

#include "platform/CalendarTime.h"

namespace vortan {

std::string MakeResponse(bool success, bool routeTag, std::int32_t code, const std::string& message) {
  const std::tm utc = platform::UtcTime(std::time(nullptr));
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

}  // namespace vortan
