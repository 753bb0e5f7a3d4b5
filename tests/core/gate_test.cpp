#include "core/gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace af {
namespace {

using namespace std::chrono_literals;

TEST(DownloadControl, PauseHoldsPassUntilResume) {
  DownloadControl control;
  std::atomic<bool> passed{false};
  control.pause();
  std::thread t([&] { passed = control.pass(); });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(passed.load());
  control.resume();
  t.join();
  EXPECT_TRUE(passed.load());
}

// Limits on trying are measured on the running clock: it stands still through a pause and
// goes on from where it stood.
TEST(DownloadControl, RunningTimeStandsStillWhilePaused) {
  DownloadControl control;
  control.pause();
  const auto at_pause = control.running_time();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(control.running_time(), at_pause);
  control.resume();
  const auto after = control.running_time();
  EXPECT_GE(after, at_pause);
  EXPECT_LT(after - at_pause, std::chrono::steady_clock::now().time_since_epoch() - at_pause);
}

TEST(DownloadControl, EndReleasesAPausedWaitAndFailsIt) {
  DownloadControl control;
  control.pause();
  std::atomic<int> result{-1};
  std::thread t([&] { result = control.wait_for(10ms) ? 1 : 0; });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(result.load(), -1);  // a pause holds even a short wait
  control.end();
  t.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_FALSE(control.pass());
  EXPECT_TRUE(control.ended());
}

TEST(DownloadControl, EndCutsALongWaitShort) {
  DownloadControl control;
  std::thread ender([&] {
    std::this_thread::sleep_for(20ms);
    control.end();
  });
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(control.wait_for(60s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
  ender.join();
}

// A part's own stop (an album's lanes) ends its paused pass and its long wait at once; the
// download itself goes on.
TEST(DownloadControl, PartStopEndsPausedPassAndWait) {
  DownloadControl control;
  std::atomic<bool> stop{false};
  control.pause();
  std::atomic<int> results{0};
  std::thread passer([&] { results += control.pass(stop) ? 10 : 1; });
  std::thread waiter([&] { results += control.wait_for(60s, stop) ? 10 : 1; });
  stop = true;
  control.wake();
  passer.join();
  waiter.join();
  EXPECT_EQ(results.load(), 2);
  control.resume();
  EXPECT_TRUE(control.pass());
}

TEST(DownloadControl, WaitCompletesWhenLeftAlone) {
  DownloadControl control;
  EXPECT_TRUE(control.wait_for(1ms));
  EXPECT_TRUE(control.pass());
}

}  // namespace
}  // namespace af
