// One request line through the session's own handling: the HTTP guard, the log copy
// and the command table (commands that would touch the host are left out).
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/Logging.h"
#include "common/Text.h"
#include "protocol/RequestLog.h"
#include "protocol/Session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (vortan::silenceLogging(), true);
  (void)ready;
  const std::string line(reinterpret_cast<const char*>(data), size);
  vortan::LooksLikeHttp(line);
  const std::string copy = vortan::LogCopy(line);
  // A long line is logged as its first 512 bytes (escapes counted, cut at a character's
  // end) and its length: the cut may fall inside the marker, or before it, after
  // everything from the last "proxy" on was already replaced.
  const std::string::size_type marker = copy.rfind("... (");
  const bool cut = marker != std::string::npos && marker <= 512 && copy.size() >= 7 &&
                   copy.compare(copy.size() - 7, 7, " bytes)") == 0;
  if (!cut && copy.find("proxy") != std::string::npos && copy.find("proxy OBFUCATED PARAMS") == std::string::npos) {
    __builtin_trap();
  }
  if (copy.size() > 512 + 32) __builtin_trap();
  if (vortan::StartsWith(line, "route")) return 0;
  static vortan::SessionStart* session = new vortan::SessionStart{{std::make_shared<vortan::Socket>(), std::nullopt}, nullptr, nullptr};
  vortan::SessionReply reply = vortan::HandleRequest(line, *session);
  if (reply.text.find('\n') != std::string::npos) __builtin_trap();
  return 0;
}
