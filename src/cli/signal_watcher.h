// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// SIGINT and SIGTERM are blocked in every thread and taken by one thread with sigwait, so
// no work is done in a signal handler. The first signal ends the album list job at once
// (through its gate) and the download under way (through the stop set for it); a second
// one quits.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "core/gate.h"

namespace af::cli {

class SignalWatcher {
 public:
  explicit SignalWatcher(DownloadControl& list_gate) : list_gate_(list_gate) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    std::thread([this] { watch(); }).detach();
  }

  int signal_number() const { return signal_.load(); }
  // Runs `stop` at the first signal, or at once if it has come, until another stop is set.
  void set_stop(std::function<void()> stop) {
    std::lock_guard lock(mutex_);
    stop_ = std::move(stop);
    if (stop_ && signal_number() != 0) stop_();
  }

 private:
  void watch() {
    for (;;) {
      int number = 0;
      if (sigwait(&set_, &number) != 0) continue;
      if (signal_.exchange(number) != 0) _exit(128 + number);
      list_gate_.end();
      std::lock_guard lock(mutex_);
      if (stop_) stop_();
    }
  }

  sigset_t set_;
  DownloadControl& list_gate_;
  std::atomic<int> signal_{0};
  std::mutex mutex_;
  std::function<void()> stop_;
};

}  // namespace af::cli
