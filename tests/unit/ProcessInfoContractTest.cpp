// What every backend promises of the service's own files: the public port file written
// whole, renames that replace, removals, private directories made once, any UTF-8 name.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>

#include "SeamFixture.h"
#include "TestCommon.h"
#include "platform/ProcessInfo.h"

namespace vortan {
namespace {

class ProcessInfoContract : public ::testing::Test {
 protected:
  test::SeamFixture fixture_;
};

TEST_F(ProcessInfoContract, PublicFilesAreWrittenWholeOrFailAtOpening) {
  const std::string bytes("zel-vpn-service://127.0.0.1:3000\r\n\0x", 36);
  const std::string utf8 = "\xD0\x96\xE2\x82\xAC.txt";  // Cyrillic Zhe, euro sign
  const std::pair<std::string, bool> rows[] = {
      {fixture_.Path("portused.txt"), true}, {fixture_.Path(utf8), true},
      {fixture_.Path("missing/portused.txt"), false}};
  for (const auto& [path, opens] : rows) {
    bool opened = !opens;
    const platform::Error error = platform::WritePublicFile(path, bytes, &opened);
    EXPECT_EQ(opened, opens) << path;
    std::uint64_t size = 0;
    if (opens) {
      EXPECT_TRUE(error.Succeeded()) << path << ": " << error.Code();
      EXPECT_EQ(test::ReadFile(path), bytes);
      EXPECT_TRUE(platform::FileSize(path, &size));
      EXPECT_EQ(size, bytes.size());
      EXPECT_TRUE(platform::RemoveFile(path).Succeeded());
    } else {
      EXPECT_TRUE(platform::IsNotFound(error)) << path << ": " << error.Code();
    }
    EXPECT_FALSE(platform::PathExists(path)) << path;
    EXPECT_FALSE(platform::FileSize(path, &size)) << path;
  }
}

TEST_F(ProcessInfoContract, RenamesReplaceTheTargetAndAMissingFileIsNotFound) {
  test::WriteFile(fixture_.Path("log"), "new");
  test::WriteFile(fixture_.Path("log.1"), "old");
  EXPECT_TRUE(platform::RenameFile(fixture_.Path("log"), fixture_.Path("log.1")).Succeeded());
  EXPECT_FALSE(platform::PathExists(fixture_.Path("log")));
  EXPECT_EQ(test::ReadFile(fixture_.Path("log.1")), "new");
  EXPECT_TRUE(platform::IsNotFound(platform::RenameFile(fixture_.Path("log"), fixture_.Path("log.2"))));
  EXPECT_TRUE(platform::IsNotFound(platform::RemoveFile(fixture_.Path("log"))));
}

TEST_F(ProcessInfoContract, PrivateDirectoriesAreMadeOnceAndThenLeftAlone) {
  const std::pair<std::string, bool> rows[] = {
      {fixture_.Path("logs"), true}, {fixture_.Path("logs"), true}, {fixture_.Path("missing/logs"), false}};
  for (const auto& [path, made] : rows) {
    EXPECT_EQ(platform::MakePrivateDirectory(path).Succeeded(), made) << path;
    EXPECT_EQ(std::filesystem::is_directory(std::filesystem::u8path(path)), made) << path;
  }
}

}  // namespace
}  // namespace vortan
