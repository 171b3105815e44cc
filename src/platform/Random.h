#pragma once

#include <cstdint>

namespace platform {

// One value from the cryptographically secure random source; false when it fails.
bool SecureRandom32(std::uint32_t* value);

}  // namespace platform
