// rand_s is declared only with this macro set before the first include of stdlib.h.
#define _CRT_RAND_S
#include <stdlib.h>

#include "platform/Random.h"

namespace platform {

bool SecureRandom32(std::uint32_t* value) {
  unsigned int drawn = 0;
  if (rand_s(&drawn) != 0) return false;
  *value = static_cast<std::uint32_t>(drawn);
  return true;
}

}  // namespace platform
