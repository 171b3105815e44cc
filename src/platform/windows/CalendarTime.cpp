#include "platform/CalendarTime.h"

#include <time.h>

// Times past 2038 (certificate ends, log stamps) need a 64-bit time_t, which the
// 32-bit C run-time gives unless told otherwise (_USE_32BIT_TIME_T).
static_assert(sizeof(std::time_t) == 8, "time_t must be 64 bits wide on every Windows build");

namespace platform {

std::tm UtcTime(std::time_t time) {
  std::tm utc{};
  gmtime_s(&utc, &time);
  return utc;
}

}  // namespace platform
