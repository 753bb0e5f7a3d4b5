// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// ThreadList: the background threads one owner starts and must join before it goes. Those
// that have returned are joined at each start, so repeated starts do not pile them up; the
// rest by join_all or when the list goes. Used from the owner's thread only.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace af {

class ThreadList {
 public:
  ThreadList() = default;
  ~ThreadList() { join_all(); }
  ThreadList(const ThreadList&) = delete;
  ThreadList& operator=(const ThreadList&) = delete;

  // Joins the threads that have returned, then runs `entry` on a new one.
  void start(std::function<void()> entry) {
    std::erase_if(threads_, [this](Entry& e) {
      std::unique_lock lock(mutex_);
      if (!e.done) return false;
      lock.unlock();
      e.thread.join();
      return true;
    });
    Entry& e = threads_.emplace_back();
    e.thread = std::thread([this, &e, entry = std::move(entry)] {
      entry();
      {
        std::lock_guard lock(mutex_);
        e.done = true;
      }
      done_changed_.notify_all();
    });
  }
  // Waits up to `timeout` for the thread started last; true once it has returned (or when
  // none was started).
  bool wait_for_last(std::chrono::milliseconds timeout) {
    if (threads_.empty()) return true;
    std::unique_lock lock(mutex_);
    return done_changed_.wait_for(lock, timeout, [&] { return threads_.back().done; });
  }
  void join_all() {
    for (Entry& e : threads_)
      if (e.thread.joinable()) e.thread.join();
    threads_.clear();
  }
  std::size_t size() const { return threads_.size(); }  // threads not joined yet

 private:
  struct Entry {
    std::thread thread;
    bool done = false;  // under mutex_
  };
  std::list<Entry> threads_;
  std::mutex mutex_;
  std::condition_variable done_changed_;
};

}  // namespace af
