// SPDX-License-Identifier: GPL-3.0-or-later
#include "http/transport_notes.h"

#include <mutex>
#include <utility>

namespace af {
namespace {

std::mutex listener_mutex;
TransportListener listener_;

}  // namespace

void listen_to_transport(TransportListener listener) {
  const std::lock_guard lock(listener_mutex);
  listener_ = std::move(listener);
}

void tell_transport(const std::string& address, const std::string& words) {
  const std::lock_guard lock(listener_mutex);
  if (listener_) listener_(address, words);
}

}  // namespace af
