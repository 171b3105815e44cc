#include <gtest/gtest.h>

#include "protocol/TunnelAccess.h"
#include "platform/linux/NativeIdentity.h"

namespace vortan {
namespace {

using platform::IdentityOfUser;

TEST(SessionCounter, CapsEachUserAloneUnknownCallersShareOnePlaceRootIsFree) {
  SessionCounter counter;
  const CallerId alice = IdentityOfUser(1000), bob = IdentityOfUser(1001), root = IdentityOfUser(0),
                 unknown = std::nullopt;
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(counter.TryEnter(alice, 2));
    EXPECT_TRUE(counter.TryEnter(unknown, 2));
  }
  EXPECT_FALSE(counter.TryEnter(alice, 2));
  EXPECT_FALSE(counter.TryEnter(unknown, 2));
  EXPECT_TRUE(counter.TryEnter(bob, 2));
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(counter.TryEnter(root, 2));
  EXPECT_EQ(counter.OpenSessions(root), 0);
  counter.Leave(alice);
  EXPECT_EQ(counter.OpenSessions(alice), 1);
  EXPECT_TRUE(counter.TryEnter(alice, 2));
  {
    SessionPlace refused(counter, alice, 2);
    EXPECT_FALSE(refused.Taken());
  }
  EXPECT_EQ(counter.OpenSessions(alice), 2) << "a refused place gives nothing back";
  {
    SessionPlace place(counter, bob, 2);
    EXPECT_TRUE(place.Taken());
    EXPECT_EQ(counter.OpenSessions(bob), 2);
  }
  EXPECT_EQ(counter.OpenSessions(bob), 1);
}

TEST(CallerIdentity, TheSameUserIsEqualRootIsPrivilegedLogLinesNameTheUserId) {
  EXPECT_EQ(IdentityOfUser(1000), IdentityOfUser(1000));
  EXPECT_NE(IdentityOfUser(1000), IdentityOfUser(1001));
  EXPECT_EQ(platform::ServiceIdentity(), IdentityOfUser(0));
  EXPECT_TRUE(platform::IsPrivileged(IdentityOfUser(0)));
  EXPECT_FALSE(platform::IsPrivileged(IdentityOfUser(1000)));
  EXPECT_EQ(CallerText(IdentityOfUser(4000000000u)), "4000000000");
  EXPECT_EQ(CallerText(std::nullopt), "unknown");
}

TEST(TunnelOwnership, OnlyTheOwnerAndRootMayAct) {
  const CallerId alice = IdentityOfUser(1000), bob = IdentityOfUser(1001), root = IdentityOfUser(0),
                 unknown = std::nullopt;
  const struct {
    CallerId caller;
    platform::CallerIdentity owner;
    bool allowed;
  } rows[] = {
      {alice, *alice, true},   {root, *alice, true},  {bob, *alice, false},
      {unknown, *alice, false}, {alice, *root, false}, {unknown, *root, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(MayActOnTunnelOf(row.caller, row.owner), row.allowed)
        << CallerText(row.caller) << " on " << platform::IdentityText(row.owner);
  }
}

}  // namespace
}  // namespace vortan
