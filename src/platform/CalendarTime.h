#pragma once

#include <ctime>

namespace platform {

// The calendar fields of a time in UTC (thread safe, unlike std::gmtime).
std::tm UtcTime(std::time_t time);

}  // namespace platform
