#include "platform/ReplyEncoding.h"

#include "platform/windows/WideText.h"

namespace platform {

// Clients here read the system's ANSI code page.
std::string ReplyForWire(const std::string& reply) { return WideToAnsi(Utf8ToWide(reply)); }

}  // namespace platform
