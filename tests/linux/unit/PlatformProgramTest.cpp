// What the platform tells the service about the running program and how replies
// leave it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Version.h"
#include "platform/ProcessInfo.h"
#include "platform/ReplyEncoding.h"

namespace vortan {
namespace test {
namespace {

TEST(PlatformProgram, CommandLineIsTheExecutableFollowedByTheSwitches) {
  std::vector<std::string> words = {"ignored-name", "/install", "/auto"};
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  EXPECT_EQ(platform::ExecutablePath() + " /install /auto",
            platform::CommandLine(static_cast<int>(words.size()), argv.data()));
  EXPECT_EQ(platform::ExecutablePath(), platform::CommandLine(1, argv.data()));
}

TEST(PlatformProgram, VersionTextIsTheBuildsVersion) {
  EXPECT_EQ(std::string(VORTAN_VERSION_TEXT), platform::VersionText());
}

TEST(PlatformProgram, RepliesLeaveAsUtf8BytesUnchanged) {
  for (const std::string& reply : {std::string(), std::string("OK"), std::string("caf\xC3\xA9 \xE2\x82\xAC"),
                                  std::string("a\rb\tc"), std::string("\xFF\xFE broken")}) {
    EXPECT_EQ(reply, platform::ReplyForWire(reply));
  }
}

}  // namespace
}  // namespace test
}  // namespace vortan
