#pragma once

#include <cstdint>
#include <string>

namespace vortan {

// The status reply: "SUCCESS" or "ERROR", " | ", optional "RT" and the code, " | ",
// the UTC time "%Y%m%dT%H:%M:%S", " | ", the message, " (code ", the code, ")".
std::string MakeResponse(bool success, bool routeTag, std::int32_t code, const std::string& message);

}  // namespace vortan
