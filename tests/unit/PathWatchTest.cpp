#include <gtest/gtest.h>

#include "tunnel/PathWatch.h"

namespace vortan {
namespace {

TEST(PathChangeDecision, RestartsOnceTheWayHasChangedAndIsUsableAgain) {
  const ServerPath lan{true, 0x0100000a, 2, {}};
  const ServerPath otherGateway{true, 0x0200000a, 2, {}};
  const ServerPath otherDevice{true, 0x0100000a, 3, {}};
  const ServerPath newAddress{true, 0x0100000a, 2, {0x0300000a}};
  const ServerPath gone{};
  const struct {
    std::vector<ServerPath> looks;
    std::vector<bool> restarts;
  } cases[] = {
      {{lan, lan, lan}, {false, false, false}},
      {{otherGateway, otherGateway}, {true, false}},
      {{otherDevice}, {true}},
      {{newAddress}, {true}},
      {{gone, gone, lan}, {false, false, true}},  // link down, then up again
      {{gone, otherGateway}, {false, true}},
  };
  for (const auto& testCase : cases) {
    PathChangeDecision decision;
    decision.Connected(lan);
    for (std::size_t i = 0; i < testCase.looks.size(); ++i) {
      EXPECT_EQ(decision.Observe(testCase.looks[i]), testCase.restarts[i]) << i;
    }
  }
  PathChangeDecision unreachable;
  unreachable.Connected(gone);
  EXPECT_FALSE(unreachable.Observe(lan));
}

}  // namespace
}  // namespace vortan
