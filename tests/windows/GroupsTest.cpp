// Group membership by group name, through the caller's token.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <optional>

#include "WindowsTestSupport.h"
#include "platform/Groups.h"
#include "platform/windows/NativeIdentity.h"

namespace vortan {
namespace {

// The process's user judged through its token agrees with the service's own view.
TEST(WindowsGroups, MembershipComesFromTheCallersToken) {
  const std::optional<platform::CallerIdentity> user = test::OwnProcessUser();
  bool byToken = false;
  bool asService = false;
  ASSERT_EQ(platform::IsMemberOf(*user, "Administrators", &byToken).Code(), 0);
  ASSERT_EQ(platform::IsMemberOf(platform::ServiceIdentity(), "Administrators", &asService).Code(), 0);
  EXPECT_EQ(byToken, asService);
}

// A user known by SID alone cannot be asked about: no answer is made up for it.
TEST(WindowsGroups, AnIdentityWithoutTokenGetsNoAnswer) {
  bool member = true;
  const auto stranger = platform::IdentityOfSidText("S-1-5-21-1111-2222-3333-1001");
  EXPECT_EQ(platform::IsMemberOf(*stranger, "Administrators", &member).Code(), ERROR_NO_TOKEN);
}

}  // namespace
}  // namespace vortan
