// What every backend of the group seam promises: a group no one has, or no name, is
// NotFound for whoever asks, and no membership is made up.
#include <gtest/gtest.h>

#include "SeamFixture.h"
#include "platform/Groups.h"

namespace vortan {
namespace {

TEST(GroupsContract, AnUnknownGroupIsNotFound) {
  const test::SeamFixture fixture;
  for (const platform::CallerIdentity& asker : {platform::ServiceIdentity(), fixture.User()}) {
    for (const char* group : {"vortan-no-such-group-7f3a", ""}) {
      bool member = false;
      const platform::Error error = platform::IsMemberOf(asker, group, &member);
      EXPECT_TRUE(platform::IsNotFound(error)) << group << ": " << error.Code();
      EXPECT_FALSE(member) << group;
    }
  }
}

}  // namespace
}  // namespace vortan
