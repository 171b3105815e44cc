#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "common/StatusReply.h"

namespace vortan {
namespace {

TEST(MakeResponse, TimeIsUtcWhateverTheTimeZone) {
  setenv("TZ", "Pacific/Kiritimati", 1);  // UTC+14: the date differs from UTC most of the day
  tzset();
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char expected[32];
  std::strftime(expected, sizeof expected, "%Y%m%dT%H", &utc);
  const std::string reply = MakeResponse(false, false, 1, "m");
  unsetenv("TZ");
  tzset();
  EXPECT_EQ(reply.substr(12, 11), expected);
}

}  // namespace
}  // namespace vortan
