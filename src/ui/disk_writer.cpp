// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/disk_writer.h"

namespace af {

DiskWriter::DiskWriter() : thread_([this] { run(); }) {}

DiskWriter::~DiskWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void DiskWriter::post(std::function<void()> write) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(write));
  }
  changed_.notify_all();
}

void DiskWriter::drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void DiskWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and nothing left to write
    std::function<void()> write = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    write();
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace af
