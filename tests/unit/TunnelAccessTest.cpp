#include <gtest/gtest.h>

#include "TunnelAccess.h"

namespace vortan {
namespace {

TEST(SessionCounter, CapsEachUserAloneUnknownCallersShareOnePlaceRootIsFree) {
  SessionCounter counter;
  const CallerId alice = 1000u, bob = 1001u, root = 0u, unknown = std::nullopt;
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

TEST(TunnelOwnership, OnlyTheOwnerAndRootMayAct) {
  const struct {
    CallerId caller;
    std::uint32_t owner;
    bool allowed;
  } rows[] = {
      {1000u, 1000u, true},         {0u, 1000u, true},  {1001u, 1000u, false},
      {std::nullopt, 1000u, false}, {1000u, 0u, false}, {std::nullopt, 0u, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(MayActOnTunnelOf(row.caller, row.owner), row.allowed) << CallerText(row.caller) << " on " << row.owner;
  }
}

}  // namespace
}  // namespace vortan
