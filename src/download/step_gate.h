// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// StepGate: runs the worker's visible steps (a new file, a file put in place, a record
// append committed, view updates) only while the download may act.
//
// The controller takes the same mutex to pause or end, so once pause_download or
// end_download has returned, no step is under way and none starts until continue (or ever,
// after end). Steps are short, never wait for the GUI thread and never wait for the disk
// (writing, flushing, scanning and preparing a record append happen between steps), so
// the controller's wait for the mutex is short too.
#include <mutex>

#include "core/gate.h"

namespace af {

class StepGate {
 public:
  StepGate(Gate& gate, std::mutex& mutex) : gate_(gate), mutex_(mutex) {}

  // Runs `step` when the download is neither paused nor ended (waiting out a pause).
  // False, and `step` not run, once the download has ended.
  template <class Step>
  bool run(Step&& step) {
    for (;;) {
      if (!gate_.pass()) return false;
      std::unique_lock lock(mutex_);
      if (gate_.ended()) return false;
      if (gate_.paused()) continue;  // paused between pass() and the lock
      step();
      return true;
    }
  }

  Gate& gate() { return gate_; }

 private:
  Gate& gate_;
  std::mutex& mutex_;
};

}  // namespace af
