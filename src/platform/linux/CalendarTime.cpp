#include "platform/CalendarTime.h"

namespace platform {

std::tm UtcTime(std::time_t time) {
  std::tm utc{};
  gmtime_r(&time, &utc);
  return utc;
}

}  // namespace platform
