#include <gtest/gtest.h>

#include <optional>

#include "tunnel/TunnelOwnership.h"

namespace vortan {
namespace {

// state x event (with what the step is decided on) -> state, and whether the step waits
// for the turn or refuses.
TEST(TunnelStateTable, EachStateAndEventHasItsStep) {
  using S = TunnelState;
  using E = TunnelEvent;
  using K = TunnelOutcomeKind;
  const TunnelGuards owner{}, retired{true, true, false}, other{false, false, false}, otherEnded{false, false, true};
  const std::optional<K> none;
  const struct {
    S state;
    E event;
    TunnelGuards guards;
    S next;
    bool wait;
    std::optional<K> refusal;
  } rows[] = {
      {S::kIdle, E::kAsk, other, S::kIdle, false, none},
      {S::kStarting, E::kAsk, owner, S::kStarting, false, none},
      {S::kStarting, E::kAsk, other, S::kStarting, false, K::kForeignTunnel},
      {S::kStopping, E::kAsk, other, S::kStopping, false, K::kForeignTunnel},
      {S::kRunning, E::kAsk, other, S::kRunning, false, K::kForeignTunnel},
      {S::kRunning, E::kAsk, otherEnded, S::kRunning, false, none},
      {S::kIdle, E::kStart, owner, S::kStarting, false, none},
      {S::kIdle, E::kStart, other, S::kStarting, false, none},
      {S::kIdle, E::kStart, retired, S::kIdle, false, K::kServiceStopping},
      {S::kRunning, E::kStart, owner, S::kStarting, false, none},
      {S::kRunning, E::kStart, other, S::kRunning, false, K::kForeignTunnel},
      {S::kRunning, E::kStart, otherEnded, S::kStarting, false, none},
      {S::kRunning, E::kStart, retired, S::kRunning, false, K::kServiceStopping},
      {S::kStarting, E::kStart, owner, S::kStarting, true, none},
      {S::kStopping, E::kStart, retired, S::kStopping, true, none},
      {S::kIdle, E::kShutdown, other, S::kStopping, false, none},
      {S::kIdle, E::kShutdown, retired, S::kStopping, false, none},
      {S::kRunning, E::kShutdown, owner, S::kStopping, false, none},
      {S::kRunning, E::kShutdown, other, S::kRunning, false, K::kForeignTunnel},
      {S::kRunning, E::kShutdown, otherEnded, S::kStopping, false, none},
      {S::kStarting, E::kShutdown, owner, S::kStarting, true, none},
      {S::kStopping, E::kShutdown, other, S::kStopping, true, none},
      {S::kStarting, E::kGiveRunning, owner, S::kRunning, false, none},
      {S::kStarting, E::kGiveIdle, owner, S::kIdle, false, none},
      {S::kStopping, E::kGiveIdle, owner, S::kIdle, false, none},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "row " << (&row - rows));
    const TunnelStep step = NextTunnelStep(row.state, row.event, row.guards);
    EXPECT_EQ(step.next, row.next);
    EXPECT_EQ(step.wait, row.wait);
    EXPECT_EQ(step.refusal, row.refusal);
  }
}

}  // namespace
}  // namespace vortan
