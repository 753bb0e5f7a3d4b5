// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/task_thread.h"

namespace af {

TaskThread::~TaskThread() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TaskThread::post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(task));
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  }
  changed_.notify_all();
}

void TaskThread::wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return queue_.empty() && !busy_; });
}

void TaskThread::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopped, with nothing left
    std::function<void()> task = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    task();
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace af
