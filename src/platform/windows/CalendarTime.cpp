#include "platform/CalendarTime.h"

#include <time.h>

namespace platform {

std::tm UtcTime(std::time_t time) {
  std::tm utc{};
  gmtime_s(&utc, &time);
  return utc;
}

}  // namespace platform
