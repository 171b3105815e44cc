#include <gtest/gtest.h>

#include <pwd.h>

#include <memory>
#include <vector>

#include "protocol/TunnelAccess.h"
#include "platform/linux/NativeIdentity.h"

namespace vortan {
namespace {

using platform::IdentityOfUser;

// Rows run in order on one counter: each caller of a row tries its attempts.
TEST(SessionCounter, AccountsHaveAnAllowanceEachIdsWithoutOneShareOneAllUsersHaveACapRootHasNone) {
  std::vector<CallerId> withoutAccount;
  for (uid_t uid = 2000000000; uid < 2000000100; ++uid) withoutAccount.push_back(IdentityOfUser(uid));
  auto accounts = [](std::initializer_list<const char*> names) {
    std::vector<CallerId> callers;
    for (const char* name : names) callers.push_back(IdentityOfUser(getpwnam(name)->pw_uid));
    return callers;
  };
  const struct {
    const char* name;
    std::vector<CallerId> callers;
    int attemptsEach;
    int admitted;
  } rows[] = {
      {"an account", accounts({"daemon"}), 100, 64},
      {"100 ids without an account", withoutAccount, 10, 64},
      {"callers that cannot be told share that allowance", {std::nullopt}, 5, 0},
      {"seven more accounts, up to the cap of all users", accounts({"bin", "sys", "sync", "games", "man", "lp", "news"}),
       64, 512 - 128},
      {"root, never refused", {IdentityOfUser(0)}, 100, 100},
      {"an account, with all users' places taken", accounts({"mail"}), 1, 0},
  };
  SessionCounter counter;
  const AccessRules rules;
  std::vector<std::unique_ptr<SessionPlace>> places;
  for (const auto& row : rows) {
    int admitted = 0;
    for (const CallerId& caller : row.callers) {
      for (int i = 0; i < row.attemptsEach; ++i) {
        places.push_back(std::make_unique<SessionPlace>(counter, caller, rules));
        admitted += places.back()->Taken() ? 1 : 0;
      }
    }
    EXPECT_EQ(admitted, row.admitted) << row.name;
  }
  EXPECT_EQ(counter.TotalSessions(), 612);
  places.clear();
  EXPECT_EQ(counter.TotalSessions(), 0) << "a refused place gives nothing back";
  EXPECT_EQ(counter.OpenSessions(std::nullopt), 0);
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
