// SPDX-License-Identifier: GPL-3.0-or-later
// The album list and a photo list page against every kind of bad answer, once and for
// good: the tries, what is handed on, and the cause told.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "core/gate.h"
#include "core/paths.h"
#include "download/temp_folder.h"
#include "service/album_list.h"
#include "service/list_answer.h"
#include "service/photo_list.h"
#include "support/album_list_recorder.h"
#include "support/sample_service_env.h"
#include "util/codepage.h"

namespace {

using af::G;
using afsample::FaultKind;

struct FaultCase {
  const char* name;
  FaultKind kind;
  int status;         // for FaultKind::Status
  const char* cause;  // UTF-8 words the cause holds
};

const FaultCase kFaults[] = {
    {"empty", FaultKind::Empty, 0, "空白"},
    {"not_json", FaultKind::NotJson, 0, "不是列表"},
    {"login_page", FaultKind::LoginPage, 0, "登录"},
    {"redirect_to_login", FaultKind::Redirect, 0, "登录"},
    {"not_found", FaultKind::NotFound, 0, "HTTP 404"},
    {"teapot", FaultKind::Status, 418, "频率"},
    {"too_many", FaultKind::Status, 429, "频率"},
    {"robot", FaultKind::Status, 432, "拒绝了本程序的请求（HTTP 432）"},
    {"server_error", FaultKind::ServerError, 0, "HTTP 500"},
    {"cut_off", FaultKind::Drop, 0, "中断"},
    {"stall", FaultKind::Stall, 0, "超时"},
    {"trickle", FaultKind::Trickle, 0, "超时"},
};

struct ListFaultCase {
  FaultCase fault;
  bool every;  // every request, or the first only
};

std::string case_name(const ::testing::TestParamInfo<ListFaultCase>& info) {
  return std::string(info.param.fault.name) + (info.param.every ? "_every" : "_first");
}

std::vector<ListFaultCase> all_cases() {
  std::vector<ListFaultCase> cases;
  for (const FaultCase& f : kFaults)
    for (bool every : {false, true}) cases.push_back({f, every});
  return cases;
}

class ListFaults : public aftest::SampleServiceTest, public ::testing::WithParamInterface<ListFaultCase> {
 protected:
  // A limit that outlasts the tries is noted in the program directory.
  void SetUp() override {
    SampleServiceTest::SetUp();
    program_.use_as_program_directory();
  }
  void TearDown() override {
    af::set_program_directory({});
    SampleServiceTest::TearDown();
  }
  af::testing::TempFolder program_;

  // No waits; a request ends after a second and a list is given up after four, so a stall
  // or a trickle costs a few seconds.
  static af::Pacing pacing() {
    af::Pacing p = af::Pacing::shortened(0);
    p.request_deadline = std::chrono::milliseconds(1000);
    p.album_give_up = std::chrono::milliseconds(4000);
    return p;
  }

  void add_fault(const std::string& path, const std::string& query) {
    const ListFaultCase c = GetParam();
    afsample::Fault fault;
    fault.kind = c.fault.kind;
    fault.status = c.fault.status;
    fault.path = path;
    fault.query_contains = query;
    fault.location = base() + "/login";
    fault.delay = std::chrono::milliseconds(c.fault.kind == FaultKind::Stall ? 2500 : 100);
    fault.times = c.every ? -1 : 1;
    service().add_fault(fault);
  }
};

TEST_P(ListFaults, AlbumList) {
  const ListFaultCase c = GetParam();
  service().add_user(aftest::user_with_albums("1001", {3, 4}));
  add_fault("/albums/get_all", "");
  af::AlbumListJob job;
  job.endpoints = endpoints();
  job.user_id = "1001";
  job.pacing = pacing();
  aftest::RecordingAlbumListView view;
  const int rows = af::load_album_list(job, view);
  const auto requests = service().requests_to("/albums/get_all");
  EXPECT_LE(requests.size(), 10u);
  if (!c.every) {
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(requests.size(), 2u);
    EXPECT_TRUE(view.messages().empty());
    return;
  }
  EXPECT_EQ(rows, 0);
  EXPECT_TRUE(view.rows().empty());
  const std::string log = view.log();
  EXPECT_EQ(log.rfind(G("相册列表获取失败："), 0), 0u) << af::gbk_to_utf8(log);
  EXPECT_NE(log.find(G(c.fault.cause)), std::string::npos) << af::gbk_to_utf8(log);
  EXPECT_EQ(log.rfind(view.status() + "\r\n\r\n", 0), 0u);
  // A limit on this machine is told once more, with when to try again; any other failure is
  // no empty list and shows no box.
  const bool limit = c.fault.kind == FaultKind::Status;
  ASSERT_EQ(view.messages().size(), limit ? 1u : 0u);
  if (limit) {
    EXPECT_NE(log.find(view.messages()[0].text), std::string::npos);
  }
}

TEST_P(ListFaults, PhotoListPage) {
  const ListFaultCase c = GetParam();
  auto user = afsample::make_user("1001", "/u/1001", "T");
  user.albums.push_back(afsample::make_album("55", "A", 250));
  service().add_user(user);
  add_fault("/photos/get_all", "&page=2&");
  af::AlbumWalk walk;
  walk.endpoints = endpoints();
  walk.user_id = "1001";
  walk.photos = 250;
  walk.album = {"55", "18"};
  walk.pacing = pacing();
  af::WalkFailure failure;
  walk.failure = &failure;
  std::vector<std::int64_t> positions;
  EXPECT_TRUE(af::walk_album(walk, [&](const af::PhotoEntry&, std::int64_t position) {
    positions.push_back(position);
    return true;
  }));
  if (!c.every) {
    ASSERT_EQ(positions.size(), 250u);
    EXPECT_EQ(positions.back(), 250);
    EXPECT_EQ(failure.page, 0);
    return;
  }
  // Page 1 only; page 3 is not asked for, so nothing is numbered differently later.
  ASSERT_EQ(positions.size(), 100u);
  EXPECT_EQ(positions.back(), 100);
  EXPECT_EQ(failure.page, 2);
  EXPECT_NE(failure.cause.find(G(c.fault.cause)), std::string::npos) << af::gbk_to_utf8(failure.cause);
  for (const auto& r : service().requests_to("/photos/get_all"))
    EXPECT_EQ(r.query.find("&page=3&"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, ListFaults, ::testing::ValuesIn(all_cases()), case_name);

struct WaitCase {
  const char* name;
  FaultKind kind;
  int status;
  bool waits_longer;  // the growing wait of a rate limit or server error, else the plain one
};

class RetryWaits : public aftest::SampleServiceTest, public ::testing::WithParamInterface<WaitCase> {};

// The wait that must not be taken is an hour long; a watchdog ends the fetch after a while
// if it is taken, which the result then shows.
TEST_P(RetryWaits, TheRightWaitBetweenTries) {
  const WaitCase c = GetParam();
  service().add_user(aftest::user_with_albums("1001", {3}));
  afsample::Fault fault;
  fault.kind = c.kind;
  fault.status = c.status;
  fault.path = "/albums/get_all";
  fault.times = 2;
  service().add_fault(fault);
  af::Pacing pacing = af::Pacing::shortened(0);
  const auto hour = std::chrono::milliseconds(3600000);
  pacing.empty_page_retry = c.waits_longer ? hour : std::chrono::milliseconds(1);
  pacing.retry_first = pacing.retry_longest = c.waits_longer ? std::chrono::milliseconds(1) : hour;
  pacing.album_give_up = 2 * hour;
  af::DownloadControl control;
  std::thread watchdog([&] {
    control.wait_for(std::chrono::seconds(30));
    control.end();
  });
  af::ListFetch fetch;
  fetch.pacing = pacing;
  fetch.gate = &control;
  fetch.list_member = "album_list";
  const af::ListAnswer answer = af::fetch_list(af::album_list_address(endpoints(), "1001"), fetch);
  control.end();
  watchdog.join();
  EXPECT_TRUE(answer.usable) << af::gbk_to_utf8(answer.cause);
  EXPECT_EQ(answer.tries, 3);
}

INSTANTIATE_TEST_SUITE_P(Cases, RetryWaits,
                         ::testing::Values(WaitCase{"too_many", FaultKind::Status, 429, true},
                                           WaitCase{"uri_too_long", FaultKind::Status, 414, true},
                                           WaitCase{"server_error", FaultKind::ServerError, 0, true},
                                           WaitCase{"empty", FaultKind::Empty, 0, false},
                                           WaitCase{"not_found", FaultKind::NotFound, 0, false},
                                           WaitCase{"login_page", FaultKind::LoginPage, 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct JudgeCase {
  const char* name;
  int status;
  const char* text;
  af::ListProblem problem;
};

class JudgeListAnswer : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(JudgeListAnswer, Problem) {
  const JudgeCase c = GetParam();
  const af::ListAnswer answer = af::judge_list_answer(c.status, c.text, "photo_list", "");
  EXPECT_EQ(answer.problem, c.problem);
  EXPECT_EQ(answer.usable, c.problem == af::ListProblem::None);
  EXPECT_EQ(answer.cause.empty(), answer.usable);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JudgeListAnswer,
    ::testing::Values(
        JudgeCase{"list", 200, R"({"data":{"photo_list":[]},"code":0})", af::ListProblem::None},
        JudgeCase{"list_without_code", 200, R"({"result":true,"data":{"photo_list":[{"a":1}]}})",
                  af::ListProblem::None},
        JudgeCase{"code_zero_text_without_list", 200, R"({"code":"0","data":{}})", af::ListProblem::None},
        JudgeCase{"code_not_zero", 200, R"({"result":false,"code":"A0003","msg":"x","data":[]})",
                  af::ListProblem::Code},
        JudgeCase{"no_list_no_code", 200, R"({"data":[]})", af::ListProblem::NotJson},
        JudgeCase{"json_text", 200, R"("photo_list")", af::ListProblem::NotJson},
        JudgeCase{"cut_json", 200, R"({"data":{"photo_list":[{"a")", af::ListProblem::NotJson},
        JudgeCase{"html", 200, " \r\n<!DOCTYPE html><html></html>", af::ListProblem::Login},
        JudgeCase{"empty", 200, "", af::ListProblem::Empty},
        JudgeCase{"status_403", 403, R"({"data":{"photo_list":[]}})", af::ListProblem::Status},
        JudgeCase{"status_414", 414, "", af::ListProblem::RateLimited},
        JudgeCase{"status_432", 432, "<html><body>432</body></html>", af::ListProblem::Refused},
        JudgeCase{"status_432_page_saying_too_frequent", 432, "<p>too many requests</p>",
                  af::ListProblem::Refused},
        JudgeCase{"list_whose_caption_says_too_frequent", 200,
                  "{\"data\":{\"photo_list\":[{\"caption\":\"\xC6\xB5\xB7\xB1\"}]},\"code\":0}",
                  af::ListProblem::None},
        JudgeCase{"code_whose_msg_says_too_frequent", 200,
                  R"({"ok":0,"code":"100004","msg":"\u8bf7\u6c42\u8fc7\u4e8e\u9891\u7e41"})",
                  af::ListProblem::RateLimited},
        JudgeCase{"status_403_too_frequent_page", 403, "<p>too many requests</p>",
                  af::ListProblem::RateLimited},
        JudgeCase{"too_frequent_page", 200, "<p>\xC7\xEB\xC7\xF3\xB9\xFD\xD3\xDA\xC6\xB5\xB7\xB1</p>",
                  af::ListProblem::RateLimited}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
