#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "tunnel/PathWatch.h"

namespace vortan {
namespace {

const ServerPath kLan{true, 0x0100000a, 2, {}};
const ServerPath kOtherGateway{true, 0x0200000a, 2, {}};
const ServerPath kGone{};

TEST(PathChangeDecision, RestartsOnceTheWayHasChangedAndIsUsableAgain) {
  const ServerPath otherDevice{true, 0x0100000a, 3, {}};
  const ServerPath newAddress{true, 0x0100000a, 2, {0x0300000a}};
  const struct {
    ServerPath connected;
    std::vector<ServerPath> looks;
    std::vector<bool> restarts;
  } cases[] = {
      {kLan, {kLan, kLan, kLan}, {false, false, false}},
      {kLan, {kOtherGateway, kOtherGateway}, {true, false}},
      {kLan, {otherDevice}, {true}},
      {kLan, {newAddress}, {true}},
      {kLan, {kGone, kGone, kLan}, {false, false, true}},  // link down, then up again
      {kLan, {kGone, kOtherGateway}, {false, true}},
      {kGone, {kLan}, {false}},  // connected without a way: nothing to compare with
  };
  for (const auto& testCase : cases) {
    PathChangeDecision decision;
    decision.Connected(testCase.connected);
    for (std::size_t i = 0; i < testCase.looks.size(); ++i) {
      EXPECT_EQ(decision.Observe(testCase.looks[i]), testCase.restarts[i]) << &testCase - cases << " " << i;
    }
  }
}

// Wakes the watch when told to; idle once the watch waits with nothing left to handle.
class FakeChanges final : public platform::RouteChanges {
 public:
  Wake Wait(std::chrono::milliseconds) override {
    std::unique_lock<std::mutex> lock(mutex_);
    waiting_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !wakes_.empty(); });
    waiting_ = false;
    const Wake wake = wakes_.front();
    wakes_.pop_front();
    return wake;
  }
  void Nudge() override { Push(Wake::Nudged); }
  void Push(Wake wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    wakes_.push_back(wake);
    changed_.notify_all();
  }
  bool WaitIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [this] { return waiting_ && wakes_.empty(); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Wake> wakes_;
  bool waiting_ = false;
};

// The watch looks only at CONNECTED and when the host announces a change.
TEST(PathWatch, LooksWhenWokenAndRestartsOncePerConnection) {
  const std::string connected = "1700000000,CONNECTED,SUCCESS,10.8.0.100,192.0.2.1,1194,,";
  const struct {
    std::string state;
    bool enabled;
    std::vector<ServerPath> changes;  // the way after each announced change
    int looks;
    int restarts;
  } cases[] = {
      {connected, true, {}, 1, 0},  // no polling
      {connected, true, {kLan, kLan}, 3, 0},
      {connected, true, {kOtherGateway}, 2, 1},
      {connected, true, {kGone, kLan}, 3, 1},              // link down, then up again
      {connected, true, {kOtherGateway, kGone, kLan}, 2, 1},  // nothing to look for until the next CONNECTED
      {"1700000000,CONNECTED,SUCCESS,10.8.0.100,127.0.0.5,1194,,", true, {kOtherGateway}, 0, 0},  // stunnel
      {connected, false, {kOtherGateway}, 0, 0},
      {"1700000000,RECONNECTING,init_instance,,,,,", true, {kOtherGateway}, 0, 0},
  };
  for (const auto& testCase : cases) {
    // The fake's lock orders the test's writes before the watch's reads.
    ServerPath current = kLan;
    int looks = 0;
    int restarts = 0;
    auto fake = std::make_unique<FakeChanges>();
    FakeChanges* changes = fake.get();
    EnableRestartOnPathChange(testCase.enabled);
    {
      PathWatch watch([&] { ++restarts; }, std::move(fake), [&](std::uint32_t) {
        ++looks;
        return current;
      });
      watch.Observe("STATE", testCase.state);
      ASSERT_TRUE(changes->WaitIdle());
      for (const ServerPath& path : testCase.changes) {
        current = path;
        changes->Push(platform::RouteChanges::Wake::Changed);
        ASSERT_TRUE(changes->WaitIdle());
      }
    }
    EXPECT_EQ(looks, testCase.looks) << testCase.state;
    EXPECT_EQ(restarts, testCase.restarts) << testCase.state;
  }
  EnableRestartOnPathChange(true);
}

}  // namespace
}  // namespace vortan
