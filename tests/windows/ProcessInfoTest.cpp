#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <tuple>

#include "platform/CalendarTime.h"
#include "platform/ProcessInfo.h"
#include "platform/Random.h"
#include "platform/ReplyEncoding.h"
#include "platform/Threads.h"

namespace vortan {
namespace {

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
  // year since 1900, month from 0, day, hour, minute, second
  EXPECT_EQ(std::make_tuple(utc.tm_year, utc.tm_mon, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec),
            std::make_tuple(123, 10, 14, 22, 13, 20));
}

TEST(WindowsRandom, DrawsDifferentValues) {
  std::uint32_t draws[3] = {};
  for (std::uint32_t& draw : draws) ASSERT_TRUE(platform::SecureRandom32(&draw));
  EXPECT_FALSE(draws[0] == draws[1] && draws[1] == draws[2]);
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
