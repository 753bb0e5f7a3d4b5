// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/gate.h"

#include <algorithm>
#include <thread>

namespace af {

namespace {
const std::atomic<bool> kNoStop{false};
}  // namespace

bool DownloadControl::pass() { return pass(kNoStop); }

bool DownloadControl::pass(const std::atomic<bool>& stop) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !paused_ || ended_ || stop; });
  return !ended_ && !stop;
}

bool DownloadControl::ended() const {
  std::lock_guard lock(mutex_);
  return ended_;
}

bool DownloadControl::paused() const {
  std::lock_guard lock(mutex_);
  return paused_ && !ended_;
}

bool DownloadControl::wait_for(std::chrono::milliseconds duration) { return wait_for(duration, kNoStop); }

bool DownloadControl::wait_for(std::chrono::milliseconds duration, const std::atomic<bool>& stop) {
  // The clock runs only while not paused, so a pause holds the wait where it is.
  using clock = std::chrono::steady_clock;
  std::unique_lock lock(mutex_);
  auto remaining = std::chrono::duration_cast<clock::duration>(duration);
  while (!ended_ && !stop) {
    if (paused_) {
      changed_.wait(lock, [&] { return !paused_ || ended_ || stop; });
      continue;
    }
    if (remaining <= clock::duration::zero()) return true;
    auto started = clock::now();
    changed_.wait_for(lock, remaining, [&] { return paused_ || ended_ || stop; });
    // A pause stops the clock when it is made, not when this thread wakes to it.
    remaining -= (paused_ ? std::max(paused_since_, started) : clock::now()) - started;
  }
  return false;
}

std::chrono::steady_clock::duration DownloadControl::running_time() const {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  return (paused_ ? paused_since_ : now).time_since_epoch() - paused_total_;
}

void DownloadControl::pause() {
  std::lock_guard lock(mutex_);
  if (!paused_) paused_since_ = std::chrono::steady_clock::now();
  paused_ = true;
  changed_.notify_all();
}

void DownloadControl::resume() {
  std::lock_guard lock(mutex_);
  if (paused_) paused_total_ += std::chrono::steady_clock::now() - paused_since_;
  paused_ = false;
  changed_.notify_all();
}

void DownloadControl::end() {
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }
  std::lock_guard lock(listeners_mutex_);
  for (const auto& [id, on_end] : listeners_) on_end();
}

int DownloadControl::add_end_listener(std::function<void()> on_end) {
  std::lock_guard lock(listeners_mutex_);
  if (ended()) on_end();
  const int id = ++next_listener_;
  listeners_.emplace(id, std::move(on_end));
  return id;
}

void DownloadControl::remove_end_listener(int id) {
  std::lock_guard lock(listeners_mutex_);
  listeners_.erase(id);
}

void DownloadControl::wake() {
  // Under the lock, so a waiter that has just found `stop` unset is already waiting.
  std::lock_guard lock(mutex_);
  changed_.notify_all();
}

bool OpenGate::wait_for(std::chrono::milliseconds duration) {
  if (duration.count() > 0) std::this_thread::sleep_for(duration);
  return true;
}

}  // namespace af
