#include "platform/Random.h"

#include <sys/random.h>

namespace platform {

bool SecureRandom32(std::uint32_t* value) {
  return getrandom(value, sizeof *value, 0) == static_cast<ssize_t>(sizeof *value);
}

}  // namespace platform
