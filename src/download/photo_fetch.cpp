// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <chrono>

#include "core/gate.h"
#include "download/image_check.h"
#include "download/photo_saver.h"
#include "http/rate_limit.h"
#include "service/model.h"

namespace af {

namespace {

// Requests for one image whose answers ask to come back later: with waits of 2, 4, 8, 16
// and 32 s between them, about a minute.
constexpr int kMostImageTries = 6;

}  // namespace

std::chrono::milliseconds PhotoSaver::time_left() const { return failing_.time_left(); }

bool PhotoSaver::fetch_once(const PhotoEntry& entry, bool with_referer, ImageAnswer& answer,
                            RequestObject& object, Gate& gate) {
  if (!gate.pass()) return false;
  TimedRequest request;
  request.timeout_seconds = options_.timeout_seconds;
  request.gate = &gate;
  request.request_object = &object;
  // The block the transport completes, with the service's Referer in its usual place.
  if (with_referer) request.headers = std::string("Accept: */*\r\nReferer: ") + kServiceReferer;
  // No request outlasts its deadline, nor the time the album still has.
  const auto deadline =
      std::max(std::min(options_.pacing.request_deadline, time_left()), std::chrono::milliseconds(1));
  object.set_deadline(static_cast<long>(deadline.count()));

  const auto started = gate.running_time();
  answer.response = fetch_page_timed(entry.image_address, request);
  if (gate.ended()) return false;
  answer.complete = answer.response.status == 200 && is_complete_image(answer.response.body);
  const auto ended = gate.running_time();
  if (answer.complete)
    failing_.restart(ended);
  else
    failing_.add(std::max(started, ended - deadline), ended);
  return true;
}

void PhotoSaver::give_up(ImageAnswer& answer) {
  answer.gave_up = true;
  const Response& response = answer.response;
  if (response.failure != FetchFailure::None) return;
  const ListProblem problem = is_refusal(response.status)                     ? ListProblem::Refused
                              : is_rate_limited(response.status, response.body) ? ListProblem::RateLimited
                                                                                : ListProblem::None;
  if (problem == ListProblem::None) return;
  given_up_retry_after_ms_ = retry_after_ms(response.headers);
  given_up_on_ = static_cast<int>(problem);
}

bool PhotoSaver::fetch_image(const PhotoEntry& entry, ImageAnswer& answer, RequestObject& object,
                             Gate& gate) {
  if (!fetch_answer(entry, answer, object, gate)) return false;
  if (answer.gave_up) given_up_ = true;
  return true;
}

bool PhotoSaver::fetch_answer(const PhotoEntry& entry, ImageAnswer& answer, RequestObject& object,
                              Gate& gate) {
  bool with_referer = false;
  int tries = 0;
  int waits = 0;
  for (;;) {
    if (!fetch_once(entry, with_referer, answer, object, gate)) return false;
    ++tries;
    if (answer.complete) return true;
    if (time_left() <= std::chrono::milliseconds(0)) {
      give_up(answer);
      return true;
    }
    const int status = answer.response.failure == FetchFailure::None ? answer.response.status : 0;
    if (status == 403 && !with_referer) {
      // Image hosts refuse a Referer that is not a page of the service.
      with_referer = true;
      continue;
    }
    if (!is_worth_retry_later(status, answer.response.body)) {
      if (tries == 1) continue;  // once more, at once
      return true;
    }
    // An image that keeps asking for later is given up after a few tries, so that one
    // broken picture costs about a minute and not the album.
    if (tries >= kMostImageTries) return true;
    const auto wait = retry_wait(options_.pacing, ++waits, answer.response.headers);
    if (wait >= time_left()) {
      give_up(answer);
      return true;
    }
    const auto now = gate.running_time();
    failing_.add(now, now + wait);
    if (!gate.wait_for(wait)) return false;
  }
}

}  // namespace af
