// Who a caller is on Windows: a SID, compared as such, named as the system names it.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <optional>

#include "WindowsTestSupport.h"
#include "platform/CallerIdentity.h"
#include "platform/windows/NativeIdentity.h"

namespace vortan {
namespace {

const char* const kLocalSystem = "S-1-5-18";
const char* const kSomeUser = "S-1-5-21-1111-2222-3333-1001";
const char* const kOtherUser = "S-1-5-21-1111-2222-3333-1002";

platform::CallerIdentity FromSid(const char* sid) {
  std::optional<platform::CallerIdentity> identity = platform::IdentityOfSidText(sid);
  if (!identity) ADD_FAILURE() << "no SID: " << sid;
  return identity ? *identity : platform::ServiceIdentity();
}

TEST(WindowsCallerIdentity, EqualityIsBySid) {
  EXPECT_EQ(FromSid(kSomeUser), FromSid(kSomeUser));
  EXPECT_NE(FromSid(kSomeUser), FromSid(kOtherUser));
  EXPECT_NE(FromSid(kSomeUser), FromSid(kLocalSystem));
  // A token makes no difference: the same user with and without one is the same caller.
  const platform::CallerIdentity withToken = test::OwnProcessUser();
  EXPECT_NE(platform::ImpersonationTokenOf(withToken), nullptr);
  EXPECT_EQ(platform::ImpersonationTokenOf(platform::ServiceIdentity()), nullptr);
  EXPECT_EQ(withToken, platform::ServiceIdentity());
  EXPECT_FALSE(platform::IdentityOfSidText("not a sid").has_value());
}

TEST(WindowsCallerIdentity, CopiesKeepTheTokenOpenUntilTheLastGoes) {
  std::optional<platform::CallerIdentity> original = test::OwnProcessUser();
  const platform::CallerIdentity copy = *original;
  original.reset();
  TOKEN_TYPE type{};
  DWORD size = 0;
  ASSERT_TRUE(::GetTokenInformation(platform::ImpersonationTokenOf(copy), TokenType, &type, sizeof type, &size));
  EXPECT_EQ(type, TokenImpersonation);
}

TEST(WindowsCallerIdentity, LocalSystemIsPrivilegedAUserKnownOnlyByItsSidIsNot) {
  EXPECT_TRUE(platform::IsPrivileged(FromSid(kLocalSystem)));
  EXPECT_FALSE(platform::IsPrivileged(FromSid(kSomeUser)));
  // The process's user judged through its token and through the service's own identity.
  EXPECT_EQ(platform::IsPrivileged(test::OwnProcessUser()), platform::IsPrivileged(platform::ServiceIdentity()));
}

TEST(WindowsCallerIdentity, TextIsTheAccountNameOrElseTheSid) {
  EXPECT_EQ(platform::IdentityText(FromSid(kSomeUser)), kSomeUser);
  const std::string system = platform::IdentityText(FromSid(kLocalSystem));
  EXPECT_NE(system.find("SYSTEM"), std::string::npos) << system;
  EXPECT_NE(system.find('\\'), std::string::npos) << system;
  EXPECT_NE(platform::IdentityText(platform::ServiceIdentity()), "");
}

}  // namespace
}  // namespace vortan
