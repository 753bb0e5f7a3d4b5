// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TransferGroup: several transfers at once on one curl multi handle, driven by a thread of
// its own.
//
//   TransferGroup group(4);                // at most 4 connections to one host
//   RequestObject object;
//   object.set_group(&group);              // its sends now run among the group's others
//   object.open("GET", address, false);
//   object.send("");                       // blocks this thread only; others go on
//
// The group's connections are shared by every handle that runs in it and kept between
// transfers; where a host offers HTTP/2 the transfers share one connection as streams.
// Each transfer's callbacks (progress, pause hold, abort) run on the driver thread.
// abort_all() ends every transfer under way at once, without waiting for any of them to
// call back: their connections are closed and each perform returns CURLE_ABORTED_BY_CALLBACK,
// as do those that come after.
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "http/curl_handles.h"

namespace af {

class TransferGroup {
 public:
  // `connections_per_host`: the most connections the group opens to one host (1 or more).
  explicit TransferGroup(int connections_per_host);
  // Waits for the driver; no transfer may be under way (each perform has returned).
  ~TransferGroup();
  TransferGroup(const TransferGroup&) = delete;
  TransferGroup& operator=(const TransferGroup&) = delete;

  // Runs the transfer that `easy` is set up for and returns its result, as
  // curl_easy_perform does; callable from several threads at once.
  CURLcode perform(CURL* easy);
  // False when the multi handle could not be made: perform then runs each transfer alone.
  bool created() const { return multi_ != nullptr; }
  // Aborts every transfer queued or under way, and every later one; returns at once (the
  // driver removes them). Callable from any thread.
  void abort_all();

  // The time transfers held the driver while their gate was paused, all together: every
  // other transfer of the group was held as long, and does not count it against its own
  // limits. Added to from the transfers' callbacks on the driver thread.
  std::chrono::steady_clock::duration held_time() const { return std::chrono::steady_clock::duration(held_); }
  void add_held(std::chrono::steady_clock::duration held) { held_ += held.count(); }

 private:
  struct Pending {
    CURL* easy = nullptr;
    CURLcode result = CURLE_OK;
    bool done = false;
  };
  void drive();

  MultiHandle multi_ = new_multi_handle();
  std::mutex mutex_;
  std::condition_variable finished_;
  std::deque<Pending*> queued_;                  // waiting to join the multi handle
  std::unordered_map<CURL*, Pending*> running_;  // driver thread only
  bool stopping_ = false;
  bool aborting_ = false;
  std::atomic<std::chrono::steady_clock::rep> held_{0};
  std::thread driver_;
};

}  // namespace af
