// SPDX-License-Identifier: GPL-3.0-or-later
// The album table's cover fetch on the wire: a bare HTTP/1.0 GET, without the process-wide
// cookies and without a proxy from the environment, asked once more with the service's
// Referer when refused with 403; the body whatever the status.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "core/gate.h"
#include "http/cookie_store.h"
#include "http/fetch.h"
#include "http/raw_server.h"

namespace af {
namespace {

using aftest::http_answer;
using aftest::ok;
using aftest::RawRequest;
using aftest::RawServer;
using Lines = std::vector<std::string>;

const std::string kCoverAgent = "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";

// A proxy named by the environment for the test's lifetime; the one before comes back.
class EnvironmentProxy {
 public:
  explicit EnvironmentProxy(const std::string& proxy) {
    if (const char* before = std::getenv("http_proxy")) before_ = before;
    ::setenv("http_proxy", proxy.c_str(), 1);
  }
  ~EnvironmentProxy() {
    if (before_)
      ::setenv("http_proxy", before_->c_str(), 1);
    else
      ::unsetenv("http_proxy");
  }

 private:
  std::optional<std::string> before_;
};

struct CoverCase {
  std::string name;
  Lines answers;  // to the first request, the second, ...
  int status;
  std::string body;
  bool asked_again;  // a second request, with the Referer
};

class CoverFetchTest : public ::testing::TestWithParam<CoverCase> {
 protected:
  void SetUp() override {
    Cookie login;
    login.domain = "127.0.0.1";
    login.name = "SUB";
    login.value = "secret";
    CookieStore::instance().set_cookie(login);
  }
  void TearDown() override { CookieStore::instance().clear(); }
};

TEST_P(CoverFetchTest, SendsItsOwnBareRequest) {
  const CoverCase& c = GetParam();
  std::size_t asked = 0;
  RawServer server([&](const RawRequest&) { return c.answers[std::min(asked++, c.answers.size() - 1)]; });
  const EnvironmentProxy proxy(aftest::closed_base());
  const Response response = fetch_cover(server.base() + "/large/c.jpg");
  EXPECT_EQ(response.failure, FetchFailure::None);
  EXPECT_EQ(response.status, c.status);
  EXPECT_EQ(response.body, c.body);
  EXPECT_EQ(response.headers, "");

  const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port());
  std::vector<Lines> expected{{host, kCoverAgent, "Accept: */*"}};
  if (c.asked_again) expected.push_back({host, kCoverAgent, "Accept: */*", "Referer: https://weibo.com/"});
  const std::vector<RawRequest> requests = server.requests();
  ASSERT_EQ(requests.size(), expected.size());
  for (std::size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(requests[i].request_line(), "GET /large/c.jpg HTTP/1.0");
    EXPECT_EQ(requests[i].header_lines(), expected[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, CoverFetchTest,
    ::testing::Values(
        CoverCase{"Given", {ok("jpeg")}, 200, "jpeg", false},
        CoverCase{"NotFoundBodyKept", {http_answer("404 Not Found", "", "gone")}, 404, "gone", false},
        CoverCase{
            "RefusedThenGiven", {http_answer("403 Forbidden", "", "no"), ok("jpeg")}, 200, "jpeg", true},
        CoverCase{"RefusedTwice",
                  {http_answer("403 Forbidden", "", "no"), http_answer("403 Forbidden", "", "still")},
                  403,
                  "still",
                  true}),
    [](const auto& info) { return info.param.name; });

TEST(CoverFetchGateTest, EndedGateGivesEndedAndNoBody) {
  RawServer server([](const RawRequest&) { return ok("jpeg"); });
  DownloadControl control;
  control.end();
  const Response response = fetch_cover(server.base() + "/large/c.jpg", &control);
  EXPECT_EQ(response.failure, FetchFailure::Ended);
  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(response.body, "");
}

}  // namespace
}  // namespace af
