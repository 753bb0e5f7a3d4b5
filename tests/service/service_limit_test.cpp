// SPDX-License-Identifier: GPL-3.0-or-later
// How a job slows down while the service limits it, and when a job that a limit ended tells
// the operator to try again, run after run.
#include "service/service_limit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/pacing.h"
#include "download/temp_folder.h"
#include "util/codepage.h"

namespace {

using std::chrono::milliseconds;

// Answers in order ('L' limited, 'A' a usable answer) and the wait before the next list
// request after each, with the usual pacing.
struct SlowdownCase {
  const char* name;
  const char* answers;
  std::vector<long long> waits_ms;
};

class SlowdownSteps : public ::testing::TestWithParam<SlowdownCase> {};

TEST_P(SlowdownSteps, WaitsGrowWithLimitsAndShrinkWithAnswers) {
  af::Slowdown slowdown{af::Pacing{}};
  EXPECT_EQ(slowdown.wait(), milliseconds(0));
  std::vector<long long> waits;
  for (const char* a = GetParam().answers; *a; ++a) {
    if (*a == 'L') slowdown.limited();
    if (*a == 'A') slowdown.answered();
    waits.push_back(slowdown.wait().count());
  }
  EXPECT_EQ(waits, GetParam().waits_ms);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SlowdownSteps,
    ::testing::Values(SlowdownCase{"good_answers_never_wait", "AAA", {0, 0, 0}},
                      SlowdownCase{"one_limit_then_back", "LAA", {2000, 0, 0}},
                      SlowdownCase{"three_limits_then_back", "LLLAAA", {2000, 4000, 8000, 4000, 2000, 0}},
                      // At the longest wait more limits add nothing that answers must undo.
                      SlowdownCase{"held_at_the_longest", "LLLLLLLLA",
                                   {2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000, 32000}}),
    [](const auto& info) { return std::string(info.param.name); });

class LastingLimit : public ::testing::Test {
 protected:
  void SetUp() override { program_.use_as_program_directory(); }
  void TearDown() override { af::set_program_directory({}); }
  af::testing::TempFolder program_;
};

// Run after run while the ban lasts: an hour, two, four ... at most a day; a longer
// Retry-After wins; a download that ends well starts the row again.
TEST_F(LastingLimit, TheAdviceGrowsRunAfterRunAndStartsAgainAfterAGoodRun) {
  const std::time_t t0 = 1800000000;
  const long long hour = 3600;
  struct Step {
    std::time_t at;
    long long retry_after_ms;
    bool forget_before;
    long long wait_s;
    int in_a_row;
  };
  const Step steps[] = {
      {t0, -1, false, hour, 1},
      {t0 + 2 * hour, 1000, false, 2 * hour, 2},        // a short Retry-After changes nothing
      {t0 + 5 * hour, -1, false, 4 * hour, 3},
      {t0 + 10 * hour, 10 * hour * 1000, false, 10 * hour, 4},  // a longer one counts
      {t0 + 30 * hour, -1, false, 16 * hour, 5},
      {t0 + 50 * hour, -1, false, 24 * hour, 6},        // at most a day
      {t0 + 80 * hour, -1, true, hour, 1},              // a good download came between
      {t0 + 81 * hour + 8 * 24 * hour, -1, false, hour, 1},  // a week later: a new row
  };
  for (const Step& step : steps) {
    if (step.forget_before) af::forget_service_limits();
    const af::ServiceLimit limit = af::lasting_limit(af::ListProblem::RateLimited, step.retry_after_ms, step.at);
    EXPECT_EQ(limit.retry_at - step.at, step.wait_s) << "at +" << (step.at - t0) / hour << " h";
    EXPECT_EQ(limit.in_a_row, step.in_a_row);
    EXPECT_NE(limit.text.find(af::local_minute_text(limit.retry_at)), std::string::npos);
  }
}

TEST_F(LastingLimit, TheTextsSayWhatHappenedAndThatNothingIsLost) {
  const af::ServiceLimit limited = af::lasting_limit(af::ListProblem::RateLimited, -1, 1800000000);
  const af::ServiceLimit refused = af::lasting_limit(af::ListProblem::Refused, -1, 1800000000);
  for (const af::ServiceLimit* limit : {&limited, &refused})
    EXPECT_NE(limit->text.find(af::G("已停止请求，已保存的照片都在，没有丢失")), std::string::npos);
  EXPECT_NE(af::limit_status_text(limited).find(af::local_minute_text(limited.retry_at)), std::string::npos);
  EXPECT_NE(af::limit_status_text(refused).find(af::G("重新登录")), std::string::npos);
  EXPECT_EQ(limited.text.find(af::G("服务正在限制本机的请求")), 0u) << af::gbk_to_utf8(limited.text);
  EXPECT_EQ(refused.text.find(af::G("服务拒绝了本程序的请求（HTTP 432）")), 0u);
  EXPECT_NE(refused.text.find(af::G("重新登录")), std::string::npos);
  // A row file that holds no row is no row.
  af::testing::write_file(af::service_limit_path(), "garbage\n");
  EXPECT_EQ(af::lasting_limit(af::ListProblem::RateLimited, -1, 1800000000).in_a_row, 1);
}

}  // namespace
