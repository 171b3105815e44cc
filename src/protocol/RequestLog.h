#pragma once

#include <string>

namespace vortan {

// The text logged for a request: every "start" word from the proxy user name on, and
// everything from the last "proxy" on, are hidden; control characters are shown as
// escapes (\x1b, \u009b); a line of more than 512 bytes is logged as its first 512
// bytes, cut at a character's end, and its length.
std::string LogCopy(const std::string& request);

// True for a line that begins like an HTTP request or header (a browser led here).
bool LooksLikeHttp(const std::string& line);

}  // namespace vortan
