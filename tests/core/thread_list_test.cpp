// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/thread_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace af {
namespace {

using namespace std::chrono_literals;

TEST(ThreadList, WaitsForTheLastThreadAndJoinsFinishedOnesAtTheNextStart) {
  ThreadList threads;
  EXPECT_TRUE(threads.wait_for_last(0ms));  // none started

  std::promise<void> release_first;
  std::shared_future<void> first_released = release_first.get_future().share();
  threads.start([first_released] { first_released.wait(); });
  EXPECT_FALSE(threads.wait_for_last(0ms));
  EXPECT_EQ(threads.size(), 1u);

  std::atomic<int> ran{0};
  threads.start([&] { ++ran; });
  ASSERT_TRUE(threads.wait_for_last(std::chrono::hours(1)));
  EXPECT_EQ(ran.load(), 1);
  // The first thread is still held: only the finished one goes at the next start.
  threads.start([&] { ++ran; });
  EXPECT_EQ(threads.size(), 2u);

  release_first.set_value();
  threads.join_all();
  EXPECT_EQ(threads.size(), 0u);
  EXPECT_EQ(ran.load(), 2);
}

TEST(ThreadList, GoingJoinsEveryThread) {
  std::atomic<int> finished{0};
  {
    ThreadList threads;
    for (int i = 0; i < 3; ++i)
      threads.start([&] {
        std::this_thread::yield();
        ++finished;
      });
  }
  EXPECT_EQ(finished.load(), 3);
}

}  // namespace
}  // namespace af
