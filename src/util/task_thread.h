// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TaskThread: runs the tasks posted to it on a thread of its own, one after another in the
// order posted. The thread starts with the first task; the destructor runs what is still
// posted, then ends it.
//
//   TaskThread flusher;
//   flusher.post([&photo] { photo.finish(true); });   // the caller goes on meanwhile
//   flusher.wait();                                   // every task posted has run
//
// What a task touches must outlive the wait() that follows its post; wait() orders what
// the tasks did before what the caller does next.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace af {

class TaskThread {
 public:
  TaskThread() = default;
  ~TaskThread();
  TaskThread(const TaskThread&) = delete;
  TaskThread& operator=(const TaskThread&) = delete;

  void post(std::function<void()> task);
  // Returns once every task posted has run.
  void wait();

 private:
  void run();
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> queue_;
  bool busy_ = false;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace af
