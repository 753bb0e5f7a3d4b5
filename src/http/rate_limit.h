// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Answers that ask the client to come back later, and how long to wait before it does.
#include <chrono>
#include <string_view>

#include "core/pacing.h"

namespace af {

// Whether an answer asks the client to slow down: status 414, 418 or 429, or a page whose
// text says that requests come too often (Chinese in UTF-8 or GBK, or English). Meant for
// an answer that is not what was asked for: a photo list whose captions happen to hold the
// words is no such page.
bool is_rate_limited(int status, std::string_view body);

// Whether the service refuses the client as a robot: status 432. A fresh login (session
// and XSRF-TOKEN cookies) is what lifts it.
bool is_refusal(int status);

// Milliseconds that the Retry-After header of `headers` asks for (seconds, or an HTTP
// date); -1 when there is none.
long long retry_after_ms(std::string_view headers);

// Whether a later try may bring the answer: rate limited, refused (432), or a server error
// (500 to 599).
bool is_worth_retry_later(int status, std::string_view body);

// The wait before try number `attempt` (1 = the first try after a failure): the pacing's
// first wait, doubled with every further try, at most its longest. A Retry-After header
// (seconds, or an HTTP date) in the answer's `headers` lengthens it, still at most the
// longest.
std::chrono::milliseconds retry_wait(const Pacing& pacing, int attempt, std::string_view headers);

}  // namespace af
