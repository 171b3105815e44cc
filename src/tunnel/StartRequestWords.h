#pragma once

#include <string>

#include "tunnel/RequestParser.h"

namespace vortan {

// The words of a "start" request land in OpenVPN and stunnel configuration lines run by
// root: each must be of its kind, so that none can add a parameter, an option or a
// line. Each kind is as narrow as the lines it reaches need and no narrower. Returns the
// name of the first field that is not of its kind, or the empty text when every field is.
std::string InvalidStartWord(const RequestParser& request);

// Host names of letters, digits, "-" and "_" in dot-separated labels (a trailing dot
// allowed), dotted IPv4 addresses and literal IPv6 addresses.
bool IsHostWord(const std::string& word);
// Decimal digits only, 1 to 65535.
bool IsPortWord(const std::string& word);
// A name the kernel takes as a network interface name, and that stays one word.
bool IsInterfaceNameWord(const std::string& word);
// A path prefix: no control characters or double quotes anywhere, no UNC or device path
// where the system has them, and a last component (the part OpenVPN's configuration
// names files with) that stays one unquoted word: no blanks, single quotes, backslashes
// or "%", and no "#" or ";" at its start.
bool IsConfigPrefixWord(const std::string& word);
// True when the protocol word runs the tunnel through the local stunnel.
bool SelectsStunnel(const std::string& protocol);

}  // namespace vortan
