// What the platform tells the service about the running program, its errors, and how
// replies leave it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "Version.h"
#include "common/StatusReply.h"
#include "platform/ProcessInfo.h"
#include "platform/ReplyEncoding.h"
#include "platform/linux/ErrnoError.h"

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

TEST(ErrnoError, EveryErrnoValueHasItsKind) {
  using platform::ErrorKind;
  struct {
    int code;
    ErrorKind kind;
  } cases[] = {
      {0, ErrorKind::None},
      {EACCES, ErrorKind::AccessDenied},
      {EPERM, ErrorKind::AccessDenied},
      {EEXIST, ErrorKind::AlreadyExists},
      {ENOENT, ErrorKind::NotFound},
      {ENODEV, ErrorKind::NotFound},
      {ENXIO, ErrorKind::NotFound},
      {EINVAL, ErrorKind::Invalid},
      {EAGAIN, ErrorKind::WouldBlock},
      {EWOULDBLOCK, ErrorKind::WouldBlock},
      {EINPROGRESS, ErrorKind::WouldBlock},
      {ESRCH, ErrorKind::ProcessGone},
      {ECHILD, ErrorKind::ProcessGone},
      {ENETUNREACH, ErrorKind::Other},
      {EIO, ErrorKind::Other},
      {EPROTO, ErrorKind::Other},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::KindOfErrno(c.code), c.kind) << c.code;
}

TEST(ErrnoError, KeepsTheNativeCodeAndTheStep) {
  const platform::Error error = platform::ErrnoError(EEXIST, "RTM_NEWROUTE");
  EXPECT_TRUE(error.Failed());
  EXPECT_TRUE(platform::IsAlreadyExists(error));
  EXPECT_FALSE(platform::IsAccessDenied(error));
  EXPECT_EQ(error.Code(), EEXIST);
  EXPECT_STREQ(error.Step(), "RTM_NEWROUTE");
  EXPECT_TRUE(platform::ErrnoError(0, "RTM_NEWROUTE").Succeeded());
  EXPECT_TRUE(platform::Error::Success().Succeeded());
}

TEST(ErrnoError, NotPermittedIsTheSystemsOwnRefusal) {
  const platform::Error refusal = platform::NotPermitted("route del");
  EXPECT_TRUE(platform::IsAccessDenied(refusal));
  EXPECT_EQ(refusal.Code(), EPERM);
  EXPECT_STREQ(refusal.Step(), "route del");
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
}  // namespace test
}  // namespace vortan
