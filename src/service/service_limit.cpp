// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/service_limit.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "core/paths.h"
#include "util/codepage.h"

namespace af {

namespace {

constexpr std::time_t kFirstWait = 60 * 60;
constexpr std::time_t kLongestWait = 24 * 60 * 60;
constexpr std::time_t kRowForgotten = 7 * 24 * 60 * 60;

struct Row {
  int in_a_row = 0;
  std::time_t last = 0;
};

Row read_row() {
  Row row;
  std::ifstream in(service_limit_path());
  long long times = 0;
  long long last = 0;
  if (in >> times >> last && times > 0 && times < 1000) row = {static_cast<int>(times), static_cast<std::time_t>(last)};
  return row;
}

// Written whole, then renamed into place; a failure costs only the growth of the advice.
void write_row(const Row& row) {
  const std::string path = service_limit_path();
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << row.in_a_row << ' ' << static_cast<long long>(row.last) << '\n';
    if (!out.flush()) return;
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  if (error) std::filesystem::remove(temporary, error);
}

}  // namespace

std::string service_limit_path() { return program_file("service-limit.txt"); }

std::string local_minute_text(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

ServiceLimit lasting_limit(ListProblem problem, long long retry_after_ms, std::time_t now) {
  Row row = read_row();
  if (row.in_a_row > 0 && (now - row.last > kRowForgotten || row.last > now)) row = {};
  row.in_a_row += 1;
  row.last = now;
  write_row(row);

  ServiceLimit limit;
  limit.problem = problem == ListProblem::Refused ? ListProblem::Refused : ListProblem::RateLimited;
  limit.given_up_at = now;
  limit.in_a_row = row.in_a_row;
  std::time_t wait = kFirstWait;
  for (int i = 1; i < row.in_a_row && wait < kLongestWait; ++i) wait *= 2;
  wait = std::min(wait, kLongestWait);
  if (retry_after_ms > 0) wait = std::max<std::time_t>(wait, static_cast<std::time_t>((retry_after_ms + 999) / 1000));
  limit.retry_at = now + wait;
  const std::string when = local_minute_text(limit.retry_at);
  if (limit.problem == ListProblem::Refused) {
    limit.text = refusal_cause() + G("：已停止请求，已保存的照片都在，没有丢失。请重新登录微博，然后在 ") + when +
                 G(" 以后再试。");
  } else {
    limit.text = G("服务正在限制本机的请求：已停止请求，已保存的照片都在，没有丢失。请在 ") + when +
                 G(" 以后再试，在此之前再次请求只会延长限制。");
  }
  return limit;
}

std::string limit_status_text(const ServiceLimit& limit) {
  if (limit.problem == ListProblem::Refused) return G("请求被拒（HTTP 432），已停止：请重新登录后再试");
  return G("请求受限，已停止：请在 ") + local_minute_text(limit.retry_at) + G(" 以后再试");
}

void forget_service_limits() {
  std::error_code error;
  std::filesystem::remove(service_limit_path(), error);  // none there is no error
}

}  // namespace af
