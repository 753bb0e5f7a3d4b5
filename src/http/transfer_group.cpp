// SPDX-License-Identifier: GPL-3.0-or-later
#include "http/transfer_group.h"

#include <vector>

#include "http/transfer.h"

namespace af {

TransferGroup::TransferGroup(int connections_per_host) {
  if (!multi_) return;
  const long per_host = connections_per_host < 1 ? 1 : connections_per_host;
  wire::multi_options(multi_.get(), per_host);
  driver_ = std::thread([this] { drive(); });
}

TransferGroup::~TransferGroup() {
  if (!multi_) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  curl_multi_wakeup(multi_.get());
  driver_.join();
}

void TransferGroup::abort_all() {
  if (!multi_) return;
  {
    std::lock_guard lock(mutex_);
    aborting_ = true;
  }
  curl_multi_wakeup(multi_.get());
}

CURLcode TransferGroup::perform(CURL* easy) {
  if (!multi_) return curl_easy_perform(easy);
  Pending pending;
  pending.easy = easy;
  std::unique_lock lock(mutex_);
  if (aborting_) return CURLE_ABORTED_BY_CALLBACK;
  queued_.push_back(&pending);
  lock.unlock();
  curl_multi_wakeup(multi_.get());
  lock.lock();
  finished_.wait(lock, [&] { return pending.done; });
  return pending.result;
}

void TransferGroup::drive() {
  for (;;) {
    std::vector<Pending*> aborted;
    {
      std::lock_guard lock(mutex_);
      if (aborting_) {
        for (Pending* queued : queued_) aborted.push_back(queued);
        queued_.clear();
        for (const auto& [easy, running] : running_) aborted.push_back(running);
        running_.clear();
      }
    }
    if (!aborted.empty()) {
      // Removed from the multi handle before their performs return, which may then reuse
      // or free their easy handles.
      for (Pending* transfer : aborted) curl_multi_remove_handle(multi_.get(), transfer->easy);
      std::lock_guard lock(mutex_);
      for (Pending* transfer : aborted) {
        transfer->result = CURLE_ABORTED_BY_CALLBACK;
        transfer->done = true;
      }
      finished_.notify_all();
    }
    {
      std::lock_guard lock(mutex_);
      if (stopping_ && queued_.empty() && running_.empty()) return;
      while (!queued_.empty()) {
        Pending* next = queued_.front();
        queued_.pop_front();
        if (curl_multi_add_handle(multi_.get(), next->easy) == CURLM_OK) {
          running_[next->easy] = next;
        } else {
          next->result = CURLE_FAILED_INIT;
          next->done = true;
          finished_.notify_all();
        }
      }
    }
    int still_running = 0;
    curl_multi_perform(multi_.get(), &still_running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      const CURLcode result = message->data.result;
      curl_multi_remove_handle(multi_.get(), easy);
      const auto found = running_.find(easy);
      if (found == running_.end()) continue;
      std::lock_guard lock(mutex_);
      found->second->result = result;
      found->second->done = true;
      running_.erase(found);
      finished_.notify_all();
    }
    // A new transfer or the end wakes the poll at once; curl's own timers (progress
    // callbacks at least once a second, timeouts) shorten it.
    curl_multi_poll(multi_.get(), nullptr, 0, 1000, nullptr);
  }
}

}  // namespace af
