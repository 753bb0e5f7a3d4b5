#include "core/thread_list.h"

namespace af {

void ThreadList::start(std::function<void()> entry) {
  std::erase_if(threads_, [this](Entry& e) {
    {
      std::lock_guard lock(mutex_);
      if (!e.done) return false;
    }
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

bool ThreadList::wait_for_last(std::chrono::milliseconds timeout) {
  if (threads_.empty()) return true;
  const Entry& last = threads_.back();
  std::unique_lock lock(mutex_);
  return done_changed_.wait_for(lock, timeout, [&] { return last.done; });
}

void ThreadList::join_all() {
  for (Entry& e : threads_)
    if (e.thread.joinable()) e.thread.join();
  threads_.clear();
}

}  // namespace af
