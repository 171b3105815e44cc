#pragma once

#include <string>

#include "tunnel/RequestParser.h"

namespace vortan {

// The words of a "start" request land in OpenVPN and stunnel configuration lines run by
// root: each must be of its kind, so that none can add a parameter, an option or a
// line. Returns the name of the first field that is not, or the empty text when every
// field is.
std::string InvalidStartWord(const RequestParser& request);

// A host name of RFC 1123 labels or a dotted IPv4 address.
bool IsHostWord(const std::string& word);
// Decimal digits only, 1 to 65535.
bool IsPortWord(const std::string& word);
// A name the kernel takes as a network interface name, and that stays one word.
bool IsInterfaceNameWord(const std::string& word);
// A path prefix that stays one word: no blanks, quotes, backslashes, comment marks or
// placeholder marks.
bool IsConfigPrefixWord(const std::string& word);

}  // namespace vortan
