#pragma once
// ThreadList: the background threads one owner starts and must join before it goes. The
// threads that have returned are joined at each start, so repeated starts do not pile
// them up; the rest are joined by join_all or when the list goes. Used from the owner's
// thread only; the threads themselves touch nothing of it but their own done flag.
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
  void start(std::function<void()> entry);
  // Waits up to `timeout` for the thread started last to return; true when it has (or
  // when none was started).
  bool wait_for_last(std::chrono::milliseconds timeout);
  void join_all();
  // The threads not joined yet.
  std::size_t size() const { return threads_.size(); }

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
