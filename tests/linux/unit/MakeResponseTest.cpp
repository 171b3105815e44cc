#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>

#include "protocol/RequestParser.h"

namespace vortan {
namespace {

TEST(MakeResponse, FormsCarryOutcomeTagCodeTimeMessageAndTrailer) {
  const std::regex time("\\d{8}T\\d{2}:\\d{2}:\\d{2}");
  EXPECT_TRUE(std::regex_match(MakeResponse(false, false, 5, "Failed to launch process."),
                               std::regex("ERROR \\| 5 \\| \\d{8}T\\d{2}:\\d{2}:\\d{2} \\| "
                                          "Failed to launch process\\. \\(code 5\\)")));
  EXPECT_TRUE(std::regex_match(MakeResponse(true, true, 0, "x"),
                               std::regex("SUCCESS \\| RT0 \\| [0-9T:]{17} \\| x \\(code 0\\)")));
  EXPECT_TRUE(std::regex_match(MakeResponse(false, true, -7, "m"),
                               std::regex("ERROR \\| RT-7 \\| [0-9T:]{17} \\| m \\(code -7\\)")));
  const std::string empty = MakeResponse(false, false, 0, "");
  EXPECT_EQ(empty.substr(empty.size() - 12), " |  (code 0)");
}

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
