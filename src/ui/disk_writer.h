// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// DiskWriter: one background thread that runs the window's file writes (settings,
// cookies) in the order they were handed over, so that no write or flush holds up the
// window's thread. Destroying it runs what is still queued, then returns.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace af {

class DiskWriter {
 public:
  DiskWriter();
  ~DiskWriter();
  DiskWriter(const DiskWriter&) = delete;
  DiskWriter& operator=(const DiskWriter&) = delete;

  // Queues `write`; it runs after every write queued before it.
  void post(std::function<void()> write);
  // Waits until every write queued so far has run.
  void drain();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> queue_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace af
