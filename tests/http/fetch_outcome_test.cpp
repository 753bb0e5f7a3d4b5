// SPDX-License-Identifier: GPL-3.0-or-later
// What the transports tell about an exchange besides its body: the status and the cause of
// a failure, the deadline that ends a trickling answer, and the waits before a later try.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/gate.h"
#include "http/cookie_store.h"
#include "http/fetch.h"
#include "http/rate_limit.h"
#include "http/raw_server.h"
#include "http/transfer_group.h"
#include "support/bounded_wait.h"
#include "util/codepage.h"

namespace af {
namespace {

using aftest::http_answer;
using aftest::ok;
using aftest::RawRequest;
using aftest::RawServer;
using std::chrono::milliseconds;

Response page_outcome(const std::string& address, long deadline_ms = kDefaultRequestDeadlineMs) {
  PageRequest request;
  request.deadline_ms = deadline_ms;
  return fetch_page(address, request);
}

Response timed_outcome(const std::string& address, long deadline_ms = kDefaultRequestDeadlineMs,
                       TransferGroup* group = nullptr) {
  RequestObject object;
  object.set_deadline(deadline_ms);
  object.set_group(group);
  TimedRequest request;
  request.request_object = &object;
  request.timeout_seconds = 30;
  return fetch_page_timed(address, request);
}

struct CauseCase {
  std::string name;
  std::string answer;  // what the server sends; empty: nothing listens
  FetchFailure failure;
  int status;
};

class FetchCauseTest : public ::testing::TestWithParam<CauseCase> {
 protected:
  void SetUp() override { CookieStore::instance().clear(); }
};

TEST_P(FetchCauseTest, BothTransportsNameTheCause) {
  const CauseCase& c = GetParam();
  if (c.answer.empty()) {
    const std::string base = aftest::closed_base();
    EXPECT_EQ(page_outcome(base + "/x").failure, c.failure);
    EXPECT_EQ(timed_outcome(base + "/x").failure, c.failure);
    TransferGroup group(2);
    EXPECT_EQ(timed_outcome(base + "/x", kDefaultRequestDeadlineMs, &group).failure, c.failure);
    return;
  }
  RawServer server([&](const RawRequest&) { return c.answer; });
  const Response page = page_outcome(server.base() + "/x");
  EXPECT_EQ(page.failure, c.failure) << page.detail;
  EXPECT_EQ(page.status, c.status);
  const Response timed = timed_outcome(server.base() + "/x");
  EXPECT_EQ(timed.failure, c.failure) << timed.detail;
  // The request object counts only a whole answer.
  EXPECT_EQ(timed.status, c.failure == FetchFailure::None ? c.status : 0);
  // Among others in a group, the same.
  TransferGroup group(2);
  const Response grouped = timed_outcome(server.base() + "/x", kDefaultRequestDeadlineMs, &group);
  EXPECT_EQ(grouped.failure, timed.failure) << grouped.detail;
  EXPECT_EQ(grouped.status, timed.status);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, FetchCauseTest,
    ::testing::Values(CauseCase{"Answer", ok("body"), FetchFailure::None, 200},
                      CauseCase{"ServerError", http_answer("500 Internal Server Error", "", "oops"),
                                FetchFailure::None, 500},
                      CauseCase{"Refused", "", FetchFailure::Refused, 0},
                      CauseCase{"DroppedWithoutAnswer", aftest::kDrop, FetchFailure::CutOff, 0},
                      CauseCase{"CutInTheBody",
                                "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\nshort",
                                FetchFailure::CutOff, 200}),
    [](const auto& info) { return info.param.name; });

TEST(FetchOutcomeTest, UnknownHostIsToldApart) {
  // A name under .invalid never resolves.
  EXPECT_EQ(page_outcome("http://no-such-host.invalid/").failure, FetchFailure::UnknownHost);
  EXPECT_EQ(page_outcome("http:///nohost").failure, FetchFailure::BadAddress);
}

TEST(FetchOutcomeTest, TrickleEndsAtTheDeadlineOnBothTransports) {
  RawServer server([](const RawRequest&) { return aftest::kTrickle; });
  EXPECT_EQ(page_outcome(server.base() + "/t", 300).failure, FetchFailure::Deadline);
  EXPECT_EQ(timed_outcome(server.base() + "/t", 300).failure, FetchFailure::Deadline);
  TransferGroup group(2);
  EXPECT_EQ(timed_outcome(server.base() + "/t", 300, &group).failure, FetchFailure::Deadline);
}

// Sends `count` requests to `address` at once, each on a request object of its own in
// `group`, and returns their bodies and outcomes.
struct GroupRound {
  std::vector<std::string> bodies;
  std::vector<Response> outcomes;
};
GroupRound send_together(TransferGroup& group, std::vector<std::unique_ptr<RequestObject>>& objects,
                         const std::string& address, Gate* gate = nullptr) {
  GroupRound round;
  round.bodies.resize(objects.size());
  round.outcomes.resize(objects.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < objects.size(); ++i)
    threads.emplace_back([&, i] {
      objects[i]->set_group(&group);
      TimedRequest request;
      request.request_object = objects[i].get();
      request.timeout_seconds = -1;  // the objects' own
      request.gate = gate;
      round.outcomes[i] = fetch_page_timed(address, request);
      round.bodies[i] = round.outcomes[i].body;
    });
  for (auto& t : threads) t.join();
  return round;
}

TEST(TransferGroupTest, TransfersRunAtOnceAndKeepTheirConnections) {
  // Each answer waits until all three requests are there (or 10 s, to fail rather than hang).
  std::mutex mutex;
  std::condition_variable arrived_changed;
  int arrived = 0;
  std::vector<int> connections;
  RawServer server([&](const RawRequest& request) {
    std::unique_lock lock(mutex);
    connections.push_back(request.connection);
    const int round_end = (static_cast<int>(connections.size()) + 2) / 3 * 3;
    ++arrived;
    arrived_changed.notify_all();
    const bool together =
        arrived_changed.wait_for(lock, std::chrono::seconds(10), [&] { return arrived >= round_end; });
    return ok(together ? "together" : "alone");
  });
  TransferGroup group(3);
  std::vector<std::unique_ptr<RequestObject>> objects;
  for (int i = 0; i < 3; ++i) objects.push_back(std::make_unique<RequestObject>());
  for (int round = 0; round < 2; ++round) {
    const GroupRound answers = send_together(group, objects, server.base() + "/x");
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(answers.bodies[i], "together") << round;
      EXPECT_EQ(answers.outcomes[i].status, 200);
    }
  }
  // The second round went over the connections of the first.
  ASSERT_EQ(connections.size(), 6u);
  EXPECT_EQ(*std::max_element(connections.begin(), connections.end()), 3);
}

// A pause holds the group's driver in one transfer's callback; the others are held as long,
// and none of them counts that time as a stall.
TEST(TransferGroupTest, APauseLongerThanTheTimeoutsFailsNoTransfer) {
  // The answers go out once all three requests are under way and the pause has begun.
  std::atomic<int> arrived{0};
  std::atomic<bool> paused{false};
  RawServer server([&](const RawRequest&) {
    ++arrived;
    aftest::eventually([&] { return paused.load(); });
    return ok(std::string(64 * 1024, 'x'));
  });
  DownloadControl control;
  std::thread resume([&] {
    EXPECT_TRUE(aftest::eventually([&] { return arrived >= 3; })) << "three requests under way";
    control.pause();
    paused = true;
    // Held past the deadline (and so past the timeouts): a transfer with the same deadline
    // that no pause holds has ended by now.
    EXPECT_TRUE(aftest::deadline_passed(600)) << "a fetch with the same deadline to end at it";
    control.resume();
  });
  TransferGroup group(3);
  std::vector<std::unique_ptr<RequestObject>> objects;
  for (int i = 0; i < 3; ++i) {
    objects.push_back(std::make_unique<RequestObject>());
    objects.back()->set_timeouts(300, 300, 300, 300);
    objects.back()->set_deadline(600);
  }
  const GroupRound answers = send_together(group, objects, server.base() + "/p", &control);
  resume.join();
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(answers.outcomes[i].failure, FetchFailure::None) << answers.outcomes[i].detail;
    EXPECT_EQ(answers.bodies[i].size(), 64u * 1024);
  }
}

TEST(TransferGroupTest, AnEndAbortsEveryTransferInFlight) {
  std::atomic<int> arrived{0};
  RawServer server([&](const RawRequest&) {
    ++arrived;
    return aftest::kStall;
  });
  DownloadControl control;
  std::thread ender([&] {
    EXPECT_TRUE(aftest::eventually([&] { return arrived >= 3; })) << "three requests under way";
    control.end();
  });
  TransferGroup group(3);
  std::vector<std::unique_ptr<RequestObject>> objects;
  for (int i = 0; i < 3; ++i) objects.push_back(std::make_unique<RequestObject>());
  const GroupRound answers = send_together(group, objects, server.base() + "/s", &control);
  ender.join();
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(answers.outcomes[i].failure, FetchFailure::Ended);
    EXPECT_TRUE(answers.bodies[i].empty());
  }
}

// abort_all ends the transfers under way at once, though none of them would end on its own
// (no gate, a server that never answers), and no later send goes out.
TEST(TransferGroupTest, AbortAllEndsTransfersThatNothingElseWouldEnd) {
  std::atomic<int> arrived{0};
  RawServer server([&](const RawRequest&) {
    ++arrived;
    return aftest::kStall;
  });
  TransferGroup group(3);
  std::vector<std::unique_ptr<RequestObject>> objects;
  for (int i = 0; i < 3; ++i) {
    objects.push_back(std::make_unique<RequestObject>());
    objects.back()->set_deadline(30000);  // a failure to abort ends here, as Deadline
  }
  std::thread aborter([&] {
    EXPECT_TRUE(aftest::eventually([&] { return arrived >= 3; })) << "three requests under way";
    group.abort_all();
  });
  const GroupRound answers = send_together(group, objects, server.base() + "/s");
  aborter.join();
  const GroupRound later = send_together(group, objects, server.base() + "/s");
  for (const GroupRound* round : {&answers, &later})
    for (const Response& outcome : round->outcomes) {
      EXPECT_EQ(outcome.failure, FetchFailure::Ended) << outcome.detail;
      EXPECT_TRUE(outcome.body.empty());
    }
  EXPECT_EQ(arrived, 3);
}

TEST(FetchOutcomeTest, PauseDoesNotCountAgainstTheDeadline) {
  RawServer server([](const RawRequest&) { return ok(std::string(10, 'x')); });
  DownloadControl control;
  control.pause();
  std::thread resume([&] {
    // Held past its deadline: a fetch with the same deadline that no pause holds has ended,
    // and the held one has not gone out.
    EXPECT_TRUE(aftest::deadline_passed(200)) << "a fetch with the same deadline to end at it";
    EXPECT_TRUE(server.requests().empty());
    control.resume();
  });
  PageRequest request;
  request.gate = &control;
  request.deadline_ms = 200;
  const Response response = fetch_page(server.base() + "/p", request);
  resume.join();
  EXPECT_EQ(response.body, std::string(10, 'x'));
  EXPECT_EQ(response.failure, FetchFailure::None);
}

TEST(FetchOutcomeTest, DescriptionsNameCauseAndStatus) {
  EXPECT_EQ(describe_outcome({FetchFailure::None, 200, {}, {}}), "");
  EXPECT_EQ(describe_outcome({FetchFailure::None, 404, {}, {}}), G("服务器回答 HTTP 404"));
  // Chinese words only: the transport's English detail is not for the person reading.
  EXPECT_EQ(describe_outcome({FetchFailure::Refused, 0, {}, "Connection refused"}), G("无法连接服务器（连接被拒绝）"));
  for (FetchFailure f :
       {FetchFailure::BadAddress, FetchFailure::UnknownHost, FetchFailure::Tls, FetchFailure::Stalled,
        FetchFailure::Deadline, FetchFailure::CutOff, FetchFailure::Other}) {
    const std::string cause = describe_outcome({f, 0, {}, "Failed to connect after 0 ms"});
    EXPECT_FALSE(cause.empty());
    EXPECT_EQ(cause.find("Failed"), std::string::npos) << gbk_to_utf8(cause);
  }
}

TEST(RateLimitTest, StatusesAndPagesThatAskToSlowDown) {
  for (int status : {414, 418, 429}) EXPECT_TRUE(is_rate_limited(status, "")) << status;
  for (int status : {200, 403, 404, 500}) EXPECT_FALSE(is_rate_limited(status, "")) << status;
  EXPECT_TRUE(is_rate_limited(200, "<html>请求过于频繁，请稍后再试</html>"));
  EXPECT_TRUE(is_rate_limited(200, G("访问频繁")));
  EXPECT_TRUE(is_rate_limited(200, "Requests are TOO FREQUENT"));
  EXPECT_TRUE(is_worth_retry_later(503, ""));
  EXPECT_FALSE(is_worth_retry_later(404, "not here"));
  EXPECT_FALSE(is_rate_limited(200, std::string(70000, 'a') + "频繁"));
}

TEST(RateLimitTest, WaitsDoubleUpToTheLongestAndHonourRetryAfter) {
  Pacing pacing;
  EXPECT_EQ(retry_wait(pacing, 1, ""), milliseconds(2000));
  EXPECT_EQ(retry_wait(pacing, 2, ""), milliseconds(4000));
  EXPECT_EQ(retry_wait(pacing, 5, ""), milliseconds(32000));
  EXPECT_EQ(retry_wait(pacing, 6, ""), milliseconds(60000));
  EXPECT_EQ(retry_wait(pacing, 60, ""), milliseconds(60000));
  EXPECT_EQ(retry_wait(pacing, 1, "HTTP/1.1 429 x\r\nRetry-After: 7\r\n"), milliseconds(7000));
  EXPECT_EQ(retry_wait(pacing, 1, "retry-after: 3600\r\n"), milliseconds(60000));
  EXPECT_EQ(retry_wait(pacing, 1, "Retry-After: Thu, 01 Jan 1970 00:00:00 GMT\r\n"), milliseconds(2000));
  EXPECT_EQ(retry_wait(pacing, 1, "Retry-After: soon\r\n"), milliseconds(2000));
  EXPECT_EQ(retry_wait(Pacing::shortened(0), 3, "Retry-After: 9\r\n"), milliseconds(0));
}

}  // namespace
}  // namespace af
