// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// When the service limits or refuses this machine's requests for longer than an album may
// keep failing, the job ends (a download, an album list) and says when to try again.
//
//   if (limits_this_machine(failure.problem))
//     view.service_limited(generation, lasting_limit(failure.problem, failure.retry_after_ms));
//
// The time to try again is the moment the job gave up plus a wait: an hour for the first
// job in a row that ended so, doubled for each further one, at most a day; a Retry-After
// that asks for longer counts instead. Asking while a ban lasts is what lengthens it. The
// row is kept in the program directory (service-limit.txt), so that the window and the
// command line count together; a download that ends without such a limit forgets it, and
// a row whose last entry is a week old counts no more.
#include <ctime>
#include <string>

#include "service/list_answer.h"

namespace af {

struct ServiceLimit {
  ListProblem problem = ListProblem::RateLimited;  // RateLimited or Refused
  std::time_t given_up_at = 0;
  std::time_t retry_at = 0;
  int in_a_row = 1;  // the jobs in a row that ended on a limit, this one included
  // GBK, no line end: that the service limits (or refuses) this machine's requests, that
  // nothing more is asked and nothing saved is lost, and when to try again.
  std::string text;
};

// Notes one more job ended by a limit of kind `problem` at `now` and tells when to try
// again. `retry_after_ms`: what the last answer's Retry-After asked for (-1: nothing).
ServiceLimit lasting_limit(ListProblem problem, long long retry_after_ms, std::time_t now = std::time(nullptr));
// The short form for a status line: "请求受限，已停止：请在 <time> 以后再试", or for a
// refusal "请求被拒（HTTP 432），已停止：请重新登录后再试".
std::string limit_status_text(const ServiceLimit& limit);
// A download ended without a lasting limit: the row starts again.
void forget_service_limits();
// program_file("service-limit.txt").
std::string service_limit_path();
// "YYYY-MM-DD HH:MM", local time.
std::string local_minute_text(std::time_t when);

}  // namespace af
