// SPDX-License-Identifier: GPL-3.0-or-later
#include "http/rate_limit.h"

#include <curl/curl.h>

#include <algorithm>
#include <ctime>
#include <string>

#include "http/fetch.h"
#include "util/codepage.h"
#include "util/text.h"

namespace af {

namespace {

// Rate-limit pages are short; a long body is some other page.
constexpr std::size_t kLongestLimitPage = 64 * 1024;

bool says_too_frequent(std::string_view body) {
  if (body.size() > kLongestLimitPage) return false;
  static const std::string gbk = G("频繁");
  static const std::string gbk_busy = G("请求过多");
  const std::string lower = lower_text(body);
  return body.find("频繁") != std::string_view::npos || body.find("请求过多") != std::string_view::npos ||
         body.find(gbk) != std::string_view::npos || body.find(gbk_busy) != std::string_view::npos ||
         lower.find("too frequent") != std::string::npos ||
         lower.find("too many requests") != std::string::npos;
}

}  // namespace

long long retry_after_ms(std::string_view headers) {
  const std::string value = response_header(headers, "Retry-After");
  if (value.empty()) return -1;
  if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    if (value.size() > 9) return 1LL << 40;  // far beyond any longest wait
    return std::stoll(value) * 1000;
  }
  const time_t when = curl_getdate(value.c_str(), nullptr);
  if (when < 0) return -1;
  const time_t now = std::time(nullptr);
  return when > now ? static_cast<long long>(when - now) * 1000 : 0;
}

bool is_refusal(int status) { return status == 432; }

bool is_rate_limited(int status, std::string_view body) {
  return status == 414 || status == 418 || status == 429 || says_too_frequent(body);
}

bool is_worth_retry_later(int status, std::string_view body) {
  return (status >= 500 && status <= 599) || is_refusal(status) || is_rate_limited(status, body);
}

std::chrono::milliseconds retry_wait(const Pacing& pacing, int attempt, std::string_view headers) {
  using std::chrono::milliseconds;
  const long long longest = pacing.retry_longest.count();
  long long wait = pacing.retry_first.count();
  for (int i = 1; i < attempt && wait < longest; ++i) wait *= 2;
  wait = std::max(wait, retry_after_ms(headers));
  return milliseconds(std::clamp(wait, 0LL, std::max(longest, 0LL)));
}

}  // namespace af
