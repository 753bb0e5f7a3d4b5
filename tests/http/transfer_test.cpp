// SPDX-License-Identifier: GPL-3.0-or-later
// One exchange on one handle, driven by the blocking perform and by a multi handle: both
// drivers must end it alike, since several transfers at once go through the second.
#include "http/transfer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/gate.h"
#include "http/curl_handles.h"
#include "http/fetch.h"
#include "http/raw_server.h"
#include "support/bounded_wait.h"

namespace af::wire {
namespace {

using aftest::http_answer;
using aftest::ok;
using aftest::RawRequest;
using aftest::RawServer;

struct Ended {
  TransferEnd end;
  FetchFailure failure;
  int status;
  std::string body;
};

// Runs one GET (or a HEAD with a body) of `address` through a fresh exchange; the driver
// performs the prepared handle and hands back curl's result code.
template <typename Driver>
Ended run_once(const std::string& address, const std::string& method, Driver drive) {
  EasyHandle easy = new_easy_handle();
  CURL* h = easy.get();
  common_options(h);
  curl_easy_setopt(h, CURLOPT_URL, address.c_str());
  Exchange ex;
  ex.receive_idle_ms = 5000;
  ex.prepare(h);
  body_options(h, method, method == "HEAD" ? "x" : "", ex);
  Ended out{TransferEnd::None, FetchFailure::Ended, 0, {}};
  if (!ex.start()) return out;
  out.end = ex.finish(drive(h));
  out.failure = ex.failure;
  out.status = ex.block_status;
  out.body = *ex.body;
  return out;
}

CURLcode blocking(CURL* h) { return curl_easy_perform(h); }

CURLcode through_multi(CURL* h) {
  CURLM* multi = curl_multi_init();
  curl_multi_add_handle(multi, h);
  int running = 1;
  while (running > 0) {
    if (curl_multi_perform(multi, &running) != CURLM_OK) break;
    if (running > 0) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
  }
  CURLcode result = CURLE_FAILED_INIT;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE) result = message->data.result;
  }
  curl_multi_remove_handle(multi, h);
  curl_multi_cleanup(multi);
  return result;
}

struct EndCase {
  std::string name;
  std::string answer;  // empty: nothing listens
  std::string method;
  TransferEnd end;
  FetchFailure failure;
  int status;
  std::string body;
};

class TransferEndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(TransferEndTest, BothDriversEndTheExchangeAlike) {
  const EndCase& c = GetParam();
  const std::string closed = aftest::closed_base();
  RawServer server([&](const RawRequest&) { return c.answer; });
  const std::string address = (c.answer.empty() ? closed : server.base()) + "/x";
  for (const auto& [driver, result] : {std::pair{"blocking", run_once(address, c.method, blocking)},
                                       std::pair{"multi", run_once(address, c.method, through_multi)}}) {
    SCOPED_TRACE(driver);
    EXPECT_EQ(result.end, c.end);
    EXPECT_EQ(result.failure, c.failure);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.body, c.body);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, TransferEndTest,
    ::testing::Values(
        EndCase{"Answer", ok("body"), "GET", TransferEnd::Complete, FetchFailure::None, 200, "body"},
        EndCase{"ErrorStatus", http_answer("404 Not Found", "", "gone"), "GET", TransferEnd::Complete,
                FetchFailure::None, 404, "gone"},
        EndCase{"CutInTheBody", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\nshort",
                "GET", TransferEnd::Partial, FetchFailure::CutOff, 200, "short"},
        EndCase{"DroppedWithoutAnswer", aftest::kDrop, "GET", TransferEnd::None, FetchFailure::CutOff, 0, ""},
        EndCase{"Refused", "", "GET", TransferEnd::None, FetchFailure::Refused, 0, ""},
        // A HEAD sent with a body stops after the header block and counts as whole.
        EndCase{"HeadWithBody", ok("never read"), "HEAD", TransferEnd::Complete, FetchFailure::None, 200,
                ""}),
    [](const auto& info) { return info.param.name; });

TEST(TransferGateTest, EndedGateStopsTheExchangeBeforeItsRequest) {
  int requests = 0;
  RawServer server([&](const RawRequest&) {
    ++requests;
    return ok("body");
  });
  DownloadControl control;
  control.end();
  EasyHandle easy = new_easy_handle();
  common_options(easy.get());
  curl_easy_setopt(easy.get(), CURLOPT_URL, (server.base() + "/x").c_str());
  Exchange ex;
  ex.gate = &control;
  ex.prepare(easy.get());
  EXPECT_FALSE(ex.start());
  EXPECT_EQ(ex.perform(), TransferEnd::None);
  EXPECT_EQ(ex.failure, FetchFailure::Ended);
  EXPECT_EQ(requests, 0);
}

// A transfer paused in the middle of an answer sleeps on the gate: continue lets it run on
// (here to its deadline, the pause not counted), end wakes it and ends it.
TEST(TransferGateTest, PauseMidAnswerIsHeldUntilContinueOrEnd) {
  for (const bool resume : {true, false}) {
    SCOPED_TRACE(resume ? "continued" : "ended");
    RawServer server([](const RawRequest&) { return aftest::kTrickle; });
    DownloadControl control;
    Response outcome;
    std::atomic<bool> done{false};
    std::thread fetcher([&] {
      PageRequest request;
      request.gate = &control;
      request.deadline_ms = 1000;
      outcome = fetch_page(server.base() + "/t", request);
      done = true;
    });
    EXPECT_TRUE(aftest::eventually([&] { return !server.requests().empty(); })) << "the request under way";
    control.pause();
    // Held past its deadline: a fetch with the same deadline that no pause holds has ended.
    EXPECT_TRUE(aftest::deadline_passed(1000)) << "a fetch with the same deadline to end at it";
    EXPECT_FALSE(done);
    ASSERT_TRUE(aftest::release_held_fetch(control, resume, done, fetcher)) << "the held fetch to return";
    EXPECT_EQ(outcome.failure, resume ? FetchFailure::Deadline : FetchFailure::Ended);
  }
}

// The request object's outcome carries the whole answer, body included, or nothing of one
// that broke off; taken out, the body moves without a copy.
TEST(RequestObjectOutcomeTest, OutcomeHoldsTheBodyOfAWholeAnswerOnly) {
  struct Case {
    std::string answer;
    FetchFailure failure;
    int status;
    std::string body;
  };
  const std::string picture(1 << 20, 'p');
  for (const Case& c : {Case{ok("whole"), FetchFailure::None, 200, "whole"},
                        Case{ok(picture), FetchFailure::None, 200, picture},
                        Case{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\ncut",
                             FetchFailure::CutOff, 0, ""}}) {
    RawServer server([&](const RawRequest&) { return c.answer; });
    RequestObject object;
    object.open("GET", server.base() + "/x", false);
    object.send("");
    const Response& outcome = object.outcome();
    EXPECT_EQ(outcome.failure, c.failure);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.body, c.body);
    EXPECT_EQ(object.response_body(), c.body);
    const char* const held = outcome.body.data();
    const Response taken = object.take_response();
    EXPECT_EQ(taken.body, c.body);
    if (c.body.size() > 100) {
      EXPECT_EQ(taken.body.data(), held);
    }
    EXPECT_EQ(object.outcome().body, "");
    // A new request forgets the last answer.
    object.open("GET", server.base() + "/y", false);
    EXPECT_EQ(object.outcome().body, "");
    EXPECT_EQ(object.status(), 0);
  }
}

}  // namespace
}  // namespace af::wire
