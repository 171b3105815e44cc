#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "TestCommon.h"
#include "platform/CalendarTime.h"
#include "platform/ProcessInfo.h"
#include "platform/Random.h"
#include "platform/ReplyEncoding.h"
#include "platform/Threads.h"

namespace vortan {
namespace {

namespace fs = std::filesystem;

// A folder of its own below the system's temporary folder, removed afterwards.
class WindowsFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::TempPath(test::UniqueName("wf"));
    fs::create_directories(fs::u8path(dir_));
  }
  void TearDown() override { fs::remove_all(fs::u8path(dir_)); }
  std::string In(const std::string& name) const { return dir_ + "\\" + name; }

  std::string dir_;
};

TEST_F(WindowsFilesTest, PublicFileIsWrittenWhole) {
  bool opened = false;
  const std::string bytes("zel-vpn-service://127.0.0.1:3000\r\n\0x", 36);
  EXPECT_EQ(platform::WritePublicFile(In("portused.txt"), bytes, &opened), 0);
  EXPECT_TRUE(opened);
  EXPECT_EQ(test::ReadFile(In("portused.txt")), bytes);
  std::uint64_t size = 0;
  EXPECT_TRUE(platform::FileSize(In("portused.txt"), &size));
  EXPECT_EQ(size, bytes.size());
}

TEST_F(WindowsFilesTest, PublicFileInAMissingFolderFailsAtOpening) {
  bool opened = true;
  EXPECT_EQ(platform::WritePublicFile(In("missing\\portused.txt"), "x", &opened), 3);  // ERROR_PATH_NOT_FOUND
  EXPECT_FALSE(opened);
}

TEST_F(WindowsFilesTest, RenameReplacesAnExistingTarget) {
  test::WriteFile(In("log"), "new");
  test::WriteFile(In("log.1"), "old");
  EXPECT_EQ(platform::RenameFile(In("log"), In("log.1")), 0);
  EXPECT_FALSE(platform::PathExists(In("log")));
  EXPECT_EQ(test::ReadFile(In("log.1")), "new");
  EXPECT_EQ(platform::RenameFile(In("log"), In("log.2")), 2);  // ERROR_FILE_NOT_FOUND
}

TEST_F(WindowsFilesTest, RemoveDeletesAndReportsAMissingFile) {
  test::WriteFile(In("dump"), "x");
  EXPECT_EQ(platform::RemoveFile(In("dump")), 0);
  EXPECT_FALSE(platform::PathExists(In("dump")));
  EXPECT_EQ(platform::RemoveFile(In("dump")), 2);
  std::uint64_t size = 0;
  EXPECT_FALSE(platform::FileSize(In("dump"), &size));
}

TEST_F(WindowsFilesTest, PrivateDirectoryIsMadeOnceAndThenLeftAlone) {
  EXPECT_EQ(platform::MakePrivateDirectory(In("logs")), 0);
  EXPECT_TRUE(fs::is_directory(fs::u8path(In("logs"))));
  EXPECT_EQ(platform::MakePrivateDirectory(In("logs")), 0);
  EXPECT_NE(platform::MakePrivateDirectory(In("missing\\logs")), 0);
}

TEST_F(WindowsFilesTest, PathsOutsideTheAnsiCodePageWork) {
  const std::string name = "\xD0\x96\xE2\x82\xAC.txt";  // Cyrillic Zhe, euro sign
  bool opened = false;
  ASSERT_EQ(platform::WritePublicFile(In(name), "x", &opened), 0);
  EXPECT_TRUE(platform::PathExists(In(name)));
  EXPECT_TRUE(fs::exists(fs::u8path(In(name))));
  EXPECT_EQ(platform::RemoveFile(In(name)), 0);
}

TEST(WindowsProcessInfo, ExecutablePathNamesThisProgram) {
  const std::string path = platform::ExecutablePath();
  EXPECT_NE(path.find("windows_tests.exe"), std::string::npos) << path;
  EXPECT_TRUE(platform::PathExists(path));
  EXPECT_NE(platform::CommandLine(0, nullptr).find("windows_tests"), std::string::npos);
}

TEST(WindowsProcessInfo, ProgramWithoutVersionResourceHasNoVersion) { EXPECT_EQ(platform::VersionText(), ""); }

TEST(WindowsProcessInfo, ErrorTextIsTheSystemsSentenceWithoutLineEnd) {
  const std::string text = platform::ErrorText(2);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  EXPECT_EQ(platform::RemoveFile(test::TempPath(test::UniqueName("none"))), 2);
  EXPECT_EQ(platform::LastError(), 2);
}

TEST(WindowsReplyEncoding, AsciiStaysAndOtherTextGoesToTheAnsiCodePage) {
  EXPECT_EQ(platform::ReplyForWire("SUCCESS | 0 | OK\r"), "SUCCESS | 0 | OK\r");
  EXPECT_EQ(platform::ReplyForWire(""), "");
  // Under the C.UTF-8 locale Wine's ANSI code page is 1252: e acute is one byte.
  const std::string converted = platform::ReplyForWire("caf\xC3\xA9");
  EXPECT_EQ(converted.size(), 4u);
  EXPECT_EQ(converted.substr(0, 3), "caf");
}

TEST(WindowsCalendarTime, UtcFieldsOfAKnownTime) {
  const std::tm utc = platform::UtcTime(1700000000);  // 2023-11-14 22:13:20 UTC
  EXPECT_EQ(utc.tm_year, 123);
  EXPECT_EQ(utc.tm_mon, 10);
  EXPECT_EQ(utc.tm_mday, 14);
  EXPECT_EQ(utc.tm_hour, 22);
  EXPECT_EQ(utc.tm_min, 13);
  EXPECT_EQ(utc.tm_sec, 20);
}

TEST(WindowsRandom, DrawsDifferentValues) {
  std::uint32_t first = 0, second = 0, third = 0;
  ASSERT_TRUE(platform::SecureRandom32(&first));
  ASSERT_TRUE(platform::SecureRandom32(&second));
  ASSERT_TRUE(platform::SecureRandom32(&third));
  EXPECT_FALSE(first == second && second == third);
}

TEST(WindowsThreads, OwnedThreadRunsItsBodyWithTheGivenStackAndIsJoined) {
  std::atomic<std::uint64_t> ranOn{0};
  std::uint64_t threadId = 0;
  platform::OwnedThread thread;
  ASSERT_TRUE(thread.Start([&ranOn] { ranOn = platform::CurrentThreadId(); }, 256 * 1024, &threadId).Succeeded());
  thread.Join();
  EXPECT_EQ(ranOn, threadId);
  EXPECT_NE(threadId, platform::CurrentThreadId());
}

}  // namespace
}  // namespace vortan
