// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// HeldWrites: photo writes held on the disk seam, for the tests that show that pause and end
// never wait for the disk.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "download/photo_saver.h"

namespace aftest {

// Holds every photo write from the `from`-th on until released (or 20 s have passed, so a
// fault cannot hang the test).
class HeldWrites {
 public:
  explicit HeldWrites(int from = 1) : from_(from) {
    af::set_disk_calls({[this](int fd, const char* data, std::size_t size) -> long {
                          std::unique_lock lock(mutex_);
                          if (++writes_ >= from_ && !released_) {
                            holding_ = true;
                            changed_.notify_all();
                            changed_.wait_for(lock, std::chrono::seconds(20), [&] { return released_; });
                            holding_ = false;
                          }
                          lock.unlock();
                          const long done = ::write(fd, data, size);
                          lock.lock();
                          ++written_;
                          return done;
                        },
                        {},
                        {}});
  }
  ~HeldWrites() {
    release();
    af::set_disk_calls({});
  }
  bool wait_until_holding() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return holding_; });
  }
  bool holding() {
    std::lock_guard lock(mutex_);
    return holding_;
  }
  // Writes that have returned.
  int written() {
    std::lock_guard lock(mutex_);
    return written_;
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int from_;
  int writes_ = 0;
  int written_ = 0;
  bool holding_ = false;
  bool released_ = false;
};

}  // namespace aftest
