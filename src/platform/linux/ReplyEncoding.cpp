#include "platform/ReplyEncoding.h"

namespace platform {

// Clients here read UTF-8, the service's own encoding: the bytes go out unchanged.
std::string ReplyForWire(const std::string& reply) { return reply; }

}  // namespace platform
