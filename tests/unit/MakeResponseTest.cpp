#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "common/StatusReply.h"

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

}  // namespace
}  // namespace vortan
