// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Cooperative pause and end.
//
// A Gate is passed before every request, wait, file write, record change and view update
// of a background job. pass() returns at once while the job runs, blocks while it is
// paused, and returns false once the job has been ended (the caller then stops without
// doing anything more). wait_for() is a wait that a pause holds and an end cuts short.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>

namespace af {

class Gate {
 public:
  virtual ~Gate() = default;
  // Blocks while paused; false when ended.
  virtual bool pass() = 0;
  // Non-blocking: true when ended.
  virtual bool ended() const = 0;
  // Non-blocking: true while paused (a transfer is held, not aborted).
  virtual bool paused() const = 0;
  // Waits the given time; a pause stops the clock until continue. False when ended.
  virtual bool wait_for(std::chrono::milliseconds duration) = 0;
  // A clock that stands still while the job is paused (from an arbitrary origin): limits
  // on how long a job may keep trying are measured with it, so a pause never uses them up.
  virtual std::chrono::steady_clock::duration running_time() const = 0;
};

// The usual gate: pause(), resume(), end() from any thread.
class DownloadControl final : public Gate {
 public:
  bool pass() override;
  bool ended() const override;
  bool paused() const override;
  bool wait_for(std::chrono::milliseconds duration) override;
  std::chrono::steady_clock::duration running_time() const override;

  void pause();
  void resume();
  void end();

  // The same pass and wait for a part of the job that can also be stopped on its own (one
  // album's photo lanes): both return false at once once `stop` is set and wake() called.
  bool pass(const std::atomic<bool>& stop);
  bool wait_for(std::chrono::milliseconds duration, const std::atomic<bool>& stop);
  void wake();

  // What a pass or a wait cannot reach: work under way elsewhere that the end must cut
  // short at once (transfers on a multi handle). `on_end` runs on the thread that calls
  // end(), right after it, or at once when the job has ended already; until
  // remove_end_listener(id), which waits for a call under way. `on_end` must not wait.
  int add_end_listener(std::function<void()> on_end);
  void remove_end_listener(int id);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool paused_ = false;
  bool ended_ = false;
  std::chrono::steady_clock::time_point paused_since_;
  std::chrono::steady_clock::duration paused_total_{};
  std::mutex listeners_mutex_;  // taken after mutex_ is released, never with it
  std::map<int, std::function<void()>> listeners_;
  int next_listener_ = 0;
};

// A gate that is never paused or ended (album list job, plain tools).
class OpenGate final : public Gate {
 public:
  bool pass() override { return true; }
  bool ended() const override { return false; }
  bool paused() const override { return false; }
  bool wait_for(std::chrono::milliseconds duration) override;
  std::chrono::steady_clock::duration running_time() const override {
    return std::chrono::steady_clock::now().time_since_epoch();
  }
};

}  // namespace af
