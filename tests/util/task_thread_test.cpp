// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/task_thread.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <string>

#include "support/bounded_wait.h"

namespace af {
namespace {

// Tasks run one after another in the order posted, while the poster goes on; wait()
// returns only once the task under way has run too; the destructor runs what is still
// posted. The first task holds the thread until the test lets it go, so what happens
// meanwhile is shown by order, not by time.
TEST(TaskThread, RunsInOrderBesideThePosterAndWaitCoversTheTaskUnderWay) {
  std::mutex mutex;
  std::string ran;
  std::promise<void> go;
  std::shared_future<void> gone = go.get_future().share();
  std::promise<void> started;
  {
    TaskThread thread;
    thread.post([&] {
      started.set_value();
      gone.wait();
      std::lock_guard lock(mutex);
      ran += 'a';
    });
    for (const char c : std::string("bc"))
      thread.post([&, c] {
        std::lock_guard lock(mutex);
        ran += c;
      });
    ASSERT_EQ(started.get_future().wait_for(aftest::kEventBound), std::future_status::ready);
    {
      std::lock_guard lock(mutex);
      EXPECT_EQ(ran, "");  // the poster was not held by the first task
    }
    auto waited = std::async(std::launch::async, [&] { thread.wait(); });
    EXPECT_EQ(waited.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    go.set_value();
    ASSERT_EQ(waited.wait_for(aftest::kEventBound), std::future_status::ready);
    EXPECT_EQ(ran, "abc");
    thread.post([&] { ran += 'd'; });  // left to the destructor
  }
  EXPECT_EQ(ran, "abcd");
}

}  // namespace
}  // namespace af
