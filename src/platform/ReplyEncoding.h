#pragma once

#include <string>

namespace platform {

// A reply (or the welcome) as the client expects its bytes on the wire, converted from
// the service's UTF-8 to the code page clients of this platform read.
std::string ReplyForWire(const std::string& reply);

}  // namespace platform
