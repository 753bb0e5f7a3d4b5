// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/bounded_wait.h"

namespace af {
namespace {

using namespace std::chrono_literals;

// A pause holds a pass, and even a short wait, until continue or end: the call returns only
// after the release (the order of the steps shows it), though a far longer wait on a
// running gate has ended meanwhile. Continued, it passes; ended, it fails.
TEST(DownloadControl, PauseHoldsPassAndWaitUntilContinueOrEnd) {
  struct Case {
    const char* name;
    bool (*held)(DownloadControl&);
    void (DownloadControl::*release)();
    bool passes;
  };
  for (const Case& c :
       {Case{"pass, resumed", [](DownloadControl& g) { return g.pass(); }, &DownloadControl::resume, true},
        Case{"wait, ended", [](DownloadControl& g) { return g.wait_for(1ms); }, &DownloadControl::end,
             false}}) {
    SCOPED_TRACE(c.name);
    DownloadControl control;
    control.pause();
    std::atomic<int> step{0}, returned_at{0};
    std::atomic<bool> started{false}, result{!c.passes};
    std::thread t([&] {
      started = true;
      result = c.held(control);
      returned_at = ++step;
    });
    EXPECT_TRUE(aftest::eventually([&] { return started.load(); })) << "the held thread to start";
    EXPECT_TRUE(DownloadControl().wait_for(50ms));
    const int released_at = ++step;
    (control.*c.release)();
    ASSERT_TRUE(aftest::eventually([&] { return returned_at != 0; })) << "the held call to return";
    t.join();
    EXPECT_GT(returned_at.load(), released_at);
    EXPECT_EQ(result.load(), c.passes);
    EXPECT_EQ(control.pass(), c.passes);
    EXPECT_EQ(control.ended(), !c.passes);
  }
}

// Limits on trying are measured on the running clock: it stands still through a pause and
// goes on from where it stood.
TEST(DownloadControl, RunningTimeStandsStillWhilePaused) {
  DownloadControl control;
  control.pause();
  const auto at_pause = control.running_time();
  const auto read = std::chrono::steady_clock::now();
  ASSERT_TRUE(aftest::eventually([&] { return std::chrono::steady_clock::now() > read; })) << "time to pass";
  EXPECT_EQ(control.running_time(), at_pause);
  control.resume();
  const auto after = control.running_time();
  EXPECT_GE(after, at_pause);
  EXPECT_LT(after - at_pause, std::chrono::steady_clock::now().time_since_epoch() - at_pause);
}

TEST(DownloadControl, EndCutsALongWaitShort) {
  DownloadControl control;
  std::atomic<bool> waiting{false};
  std::thread ender([&] {
    EXPECT_TRUE(aftest::eventually([&] { return waiting.load(); })) << "the long wait to begin";
    control.end();
  });
  auto started = std::chrono::steady_clock::now();
  waiting = true;
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
