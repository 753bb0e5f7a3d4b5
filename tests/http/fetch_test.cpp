// SPDX-License-Identifier: GPL-3.0-or-later
#include "http/fetch.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "core/gate.h"
#include "http/cookie_store.h"
#include "http/raw_server.h"
#include "support/bounded_wait.h"

namespace af {
namespace {

using aftest::http_answer;
using aftest::ok;
using aftest::RawRequest;
using aftest::RawServer;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

const std::string kAgent = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
const std::string kType = "application/x-www-form-urlencoded";

class FetchTest : public ::testing::Test {
 protected:
  void SetUp() override { CookieStore::instance().clear(); }
  void TearDown() override { CookieStore::instance().clear(); }
};

// ----------------------------------------------------------------------------------------
// What goes on the wire

TEST_F(FetchTest, DefaultGetSendsExactlyTheCompletedBlock) {
  RawServer server([](const RawRequest&) { return ok("hello"); });
  std::string address = server.base() + "/Albums/Get?uid=1";
  EXPECT_EQ(fetch_page(address).body, "hello");
  RawRequest r = server.last();
  EXPECT_EQ(r.request_line(), "GET /Albums/Get?uid=1 HTTP/1.1");
  EXPECT_EQ(r.header_lines(), (Lines{"Host: 127.0.0.1:" + std::to_string(server.port()), "User-Agent: " + kAgent,
                                     "Accept: */*", "Referer: " + address, "Accept-Language: zh-cn",
                                     "Content-Type: " + kType}));
  EXPECT_EQ(r.body, "");
}

TEST_F(FetchTest, TimedDefaultGetSendsObjectStyleBlock) {
  RawServer server([](const RawRequest&) { return ok("hello"); });
  std::string address = server.base() + "/P/q";
  const Response response = fetch_page_timed(address);
  EXPECT_EQ(response.body, "hello");
  EXPECT_EQ(response.status, 200);
  RawRequest r = server.last();
  EXPECT_EQ(r.request_line(), "GET /P/q HTTP/1.1");
  EXPECT_EQ(r.header_lines(), (Lines{"Host: 127.0.0.1:" + std::to_string(server.port()), "Accept: */*",
                                     "Referer: " + address, "Accept-Language: zh-cn", "User-Agent: " + kAgent,
                                     "Content-Type: " + kType}));
}

TEST_F(FetchTest, CallerHeadersAreCompletedAndSentOnce) {
  RawServer server([](const RawRequest&) { return ok("x"); });
  PageRequest request;
  request.headers = "User-Agent: X\r\nX-Extra: 1";
  fetch_page(server.base() + "/", request);
  RawRequest r = server.last();
  EXPECT_EQ(r.header_lines(), (Lines{"Host: 127.0.0.1:" + std::to_string(server.port()), "User-Agent: X",
                                     "X-Extra: 1", "Accept: */*", "Referer: " + server.base() + "/",
                                     "Accept-Language: zh-cn", "Content-Type: " + kType}));

  // A lower-case agent line is the agent itself; curl adds no second one.
  request.headers = "user-agent: Y";
  fetch_page(server.base() + "/", request);
  EXPECT_EQ(server.last().values("User-Agent"), Lines{"Y"});
}

TEST_F(FetchTest, TimedLowerCaseAgentGetsDefaultAgentToo) {
  RawServer server([](const RawRequest&) { return ok("x"); });
  TimedRequest request;
  request.headers = "user-agent: X";
  fetch_page_timed(server.base() + "/", request);
  EXPECT_EQ(server.last().values("User-Agent"), (Lines{"X", kAgent}));
}

struct MethodCase {
  HttpMethod method;
  std::string line;
};

class MethodTest : public FetchTest, public ::testing::WithParamInterface<MethodCase> {};

TEST_P(MethodTest, BothTransportsMapTheMethod) {
  RawServer server([](const RawRequest&) { return ok("body"); });
  PageRequest page;
  page.method = GetParam().method;
  fetch_page(server.base() + "/m", page);
  EXPECT_EQ(server.last().request_line(), GetParam().line);
  TimedRequest timed;
  timed.method = GetParam().method;
  fetch_page_timed(server.base() + "/m", timed);
  EXPECT_EQ(server.last().request_line(), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(Methods, MethodTest,
                         ::testing::Values(MethodCase{HttpMethod::Get, "GET /m HTTP/1.1"},
                                           MethodCase{HttpMethod::Post, "POST /m HTTP/1.1"},
                                           MethodCase{HttpMethod::Head, "HEAD /m HTTP/1.1"}));

TEST_F(FetchTest, PostSendsBodyText) {
  RawServer server([](const RawRequest&) { return ok("posted"); });
  PageRequest request;
  request.method = HttpMethod::Post;
  request.body_text = "a=1";
  EXPECT_EQ(fetch_page(server.base() + "/form", request).body, "posted");
  RawRequest r = server.last();
  EXPECT_EQ(r.request_line(), "POST /form HTTP/1.1");
  EXPECT_EQ(r.body, "a=1");
  EXPECT_EQ(r.values("Content-Type"), Lines{kType});
  EXPECT_EQ(r.values("Content-Length"), Lines{"3"});
  EXPECT_TRUE(r.values("Expect").empty());

  // body_bytes wins over body_text, and a large body is sent without "Expect".
  request.body_bytes = std::string(2 * 1024 * 1024, 'z');
  fetch_page(server.base() + "/form", request);
  EXPECT_EQ(server.last().body, request.body_bytes);
  EXPECT_TRUE(server.last().values("Expect").empty());
}

TEST_F(FetchTest, GetSendsNoBodyButTimedGetSendsBodyText) {
  RawServer server([](const RawRequest&) { return ok("x"); });
  PageRequest page;
  page.body_text = "ignored";
  fetch_page(server.base() + "/", page);
  EXPECT_EQ(server.last().body, "");
  TimedRequest timed;
  timed.body_text = "q=1";
  fetch_page_timed(server.base() + "/", timed);
  EXPECT_EQ(server.last().request_line(), "GET / HTTP/1.1");
  EXPECT_EQ(server.last().body, "q=1");
}

TEST_F(FetchTest, HeadWithBodyReturnsAtOnce) {
  RawServer server([](const RawRequest& r) {
    // A HEAD answer announces a length but carries no body.
    return std::string("HTTP/1.1 200 OK\r\nContent-Length: 50\r\nX-Seen: ") + r.body + "\r\n\r\n";
  });
  PageRequest request;
  request.method = HttpMethod::Head;
  request.body_text = "h=1";
  auto start = Clock::now();
  const Response response = fetch_page(server.base() + "/h", request);
  EXPECT_EQ(response.body, "");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(server.last().request_line(), "HEAD /h HTTP/1.1");
  EXPECT_EQ(server.last().body, "h=1");
  EXPECT_NE(response.headers.find("X-Seen: h=1"), std::string::npos);
}

// ----------------------------------------------------------------------------------------
// Cookies

Cookie store_cookie(const std::string& name, const std::string& value) {
  Cookie c;
  c.domain = "127.0.0.1";
  c.name = name;
  c.value = value;
  return c;
}

TEST_F(FetchTest, JarIsSentAloneAndMergedAfterTheAnswer) {
  CookieStore::instance().set_cookie(store_cookie("s", "store"));
  RawServer server([](const RawRequest&) { return ok("x", "Set-Cookie: a=2; path=/\r\n"); });
  std::string jar = "a=1";
  PageRequest request;
  request.cookie_jar = jar;
  std::string received = fetch_page(server.base() + "/", request).cookies;
  merge_cookies(jar, received);
  EXPECT_EQ(server.last().values("Cookie"), Lines{"a=1"});
  EXPECT_EQ(jar, "a=2");
  EXPECT_EQ(received, "a=2");
  // The engine was off: the store did not learn a=2.
  for (const Cookie& c : CookieStore::instance().all_cookies()) EXPECT_NE(c.name, "a");
}

TEST_F(FetchTest, EmptyJarSendsNoCookieHeaderAtAll) {
  CookieStore::instance().set_cookie(store_cookie("s", "store"));
  RawServer server([](const RawRequest&) { return ok("x", "Set-Cookie: n=1\r\n"); });
  PageRequest request;
  request.cookie_jar = "";
  EXPECT_EQ(fetch_page(server.base() + "/", request).cookies, "n=1");
  EXPECT_TRUE(server.last().values("Cookie").empty());
}

TEST_F(FetchTest, WithoutJarTheSharedStoreIsUsedBothWays) {
  CookieStore::instance().set_cookie(store_cookie("s", "store"));
  RawServer server([](const RawRequest& r) {
    if (r.request_line().find("/set") != std::string::npos)
      return ok("x", "Set-Cookie: fresh=1; path=/\r\nSet-Cookie: s=changed; path=/\r\n");
    return ok("y");
  });
  fetch_page(server.base() + "/first");
  EXPECT_EQ(server.last().values("Cookie"), Lines{"s=store"});
  EXPECT_EQ(fetch_page(server.base() + "/set").cookies, "fresh=1; s=changed");  // spaces stay
  fetch_page(server.base() + "/again");
  Lines cookie = server.last().values("Cookie");
  ASSERT_EQ(cookie.size(), 1u);
  EXPECT_NE(cookie[0].find("fresh=1"), std::string::npos);
  EXPECT_NE(cookie[0].find("s=changed"), std::string::npos);
}

TEST_F(FetchTest, ListenerHearsCookiesOurResponsesSet) {
  std::vector<Cookie> heard;
  std::mutex m;
  CookieStore::instance().set_listener([&](const Cookie& c) {
    std::lock_guard g(m);
    heard.push_back(c);
  });
  RawServer server([](const RawRequest& r) {
    if (r.request_line().find("/del") != std::string::npos)
      return ok("x", "Set-Cookie: k=; Max-Age=0; path=/\r\n");
    return ok("x", "Set-Cookie: k=v; path=/; HttpOnly\r\n");
  });
  fetch_page(server.base() + "/set");
  fetch_page(server.base() + "/plain");  // sets k=v again: nothing changed, nothing heard
  fetch_page(server.base() + "/del");
  CookieStore::instance().set_listener(nullptr);
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].name, "k");
  EXPECT_EQ(heard[0].value, "v");
  EXPECT_TRUE(heard[0].http_only);
  EXPECT_EQ(heard[0].domain, "127.0.0.1");
  EXPECT_FALSE(heard[0].is_expired());
  EXPECT_EQ(heard[1].name, "k");
  EXPECT_TRUE(heard[1].is_expired());
}

TEST_F(FetchTest, TimedCookiesFromResponseWithoutJar) {
  RawServer server([](const RawRequest&) { return ok("x", "Set-Cookie: a=1\r\nSet-Cookie: b=2 x\r\n"); });
  const Response response = fetch_page_timed(server.base() + "/");
  EXPECT_EQ(response.cookies, "a=1;b=2x");
  EXPECT_EQ(response.headers.find("HTTP/"), std::string::npos);  // header lines only
  EXPECT_NE(response.headers.find("Set-Cookie: a=1\r\n"), std::string::npos);
}

TEST_F(FetchTest, TimedJarIsSentAndMerged) {
  RawServer server([](const RawRequest&) { return ok("x", "Set-Cookie: a=2; path=/\r\n"); });
  std::string jar = "a=1; b = 3";
  TimedRequest request;
  request.cookie_jar = jar;
  Response response = fetch_page_timed(server.base() + "/", request);
  merge_cookies(jar, response.cookies);
  EXPECT_EQ(server.last().values("Cookie"), Lines{"a=1; b = 3"});
  EXPECT_EQ(jar, "a=2; b=3");
}

TEST_F(FetchTest, HugeHeaderBlockKeepsItsCookies) {
  std::string filler;
  for (int i = 0; filler.size() < 64 * 1024; ++i) filler += "X-Filler-" + std::to_string(i) + ": " + std::string(200, 'f') + "\r\n";
  RawServer server([&](const RawRequest&) { return ok("body", filler + "Set-Cookie: big=1; path=/\r\n"); });
  const Response response = fetch_page(server.base() + "/");
  EXPECT_EQ(response.body, "body");
  EXPECT_GT(response.headers.size(), 64u * 1024);
  EXPECT_EQ(response.headers.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(response.headers.substr(response.headers.size() - 4), "\r\n\r\n");
  EXPECT_EQ(response.cookies, "big=1");
  bool stored = false;
  for (const Cookie& c : CookieStore::instance().all_cookies()) stored = stored || c.name == "big";
  EXPECT_TRUE(stored);
  PageRequest request;
  request.cookie_jar = "";
  EXPECT_EQ(fetch_page(server.base() + "/", request).cookies, "big=1");
}

// ----------------------------------------------------------------------------------------
// Redirects, empty answers and failures

std::string redirecting(const RawRequest& r) {
  if (r.request_line().find("/moved") != std::string::npos)
    return http_answer("302 Found", "Location: /final\r\n", "was moved");
  return ok("final page");
}

TEST_F(FetchTest, RedirectFollowedUnlessNoRedirect) {
  RawServer server(redirecting);
  PageRequest page;
  Response response = fetch_page(server.base() + "/moved", page);
  EXPECT_EQ(response.body, "final page");
  EXPECT_EQ(response.headers.rfind("HTTP/1.1 200", 0), 0u);
  page.no_redirect = true;
  response = fetch_page(server.base() + "/moved", page);
  EXPECT_EQ(response.body, "was moved");
  EXPECT_EQ(response.headers.rfind("HTTP/1.1 302", 0), 0u);

  TimedRequest timed;
  response = fetch_page_timed(server.base() + "/moved", timed);
  EXPECT_EQ(response.body, "final page");
  EXPECT_EQ(response.status, 200);
  timed.no_redirect = true;
  response = fetch_page_timed(server.base() + "/moved", timed);
  EXPECT_EQ(response.body, "was moved");
  EXPECT_EQ(response.status, 302);
}

TEST_F(FetchTest, ErrorPageIsReturnedWithItsStatus) {
  RawServer server([](const RawRequest&) { return http_answer("404 Not Found", "", "missing"); });
  const Response response = fetch_page_timed(server.base() + "/");
  EXPECT_EQ(response.body, "missing");
  EXPECT_EQ(response.status, 404);
  EXPECT_EQ(fetch_page(server.base() + "/").body, "missing");
}

TEST_F(FetchTest, EmptyBodyIsEmptyResult) {
  RawServer server([](const RawRequest&) { return ok(""); });
  const Response response = fetch_page(server.base() + "/");
  EXPECT_EQ(response.body, "");
  EXPECT_EQ(response.headers.rfind("HTTP/1.1 200 OK", 0), 0u);
}

TEST_F(FetchTest, UnreachablePortGivesNothing) {
  std::string address = aftest::closed_base() + "/";
  for (const Response& response : {fetch_page(address), fetch_page_timed(address)}) {
    EXPECT_EQ(response.body, "");
    EXPECT_EQ(response.status, 0);
    EXPECT_EQ(response.headers, "");
    EXPECT_EQ(response.cookies, "");
  }
}

TEST_F(FetchTest, DroppedConnectionGivesNothing) {
  RawServer server([](const RawRequest&) { return aftest::kDrop; });
  const Response response = fetch_page_timed(server.base() + "/");
  EXPECT_EQ(response.body, "");
  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(fetch_page(server.base() + "/").body, "");
}

TEST_F(FetchTest, StallingServerTimesOut) {
  RawServer server([](const RawRequest&) { return aftest::kStall; });
  TimedRequest timed;
  timed.timeout_seconds = 1;
  auto start = Clock::now();
  const Response response = fetch_page_timed(server.base() + "/", timed);
  EXPECT_EQ(response.body, "");
  EXPECT_EQ(response.status, 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1 + 5));
}

TEST(TimedTimeout, OneValueForAllFourPhases) {
  const std::pair<int, int> cases[] = {{0, 15000}, {30, 30000}, {-1, -1}, {-5, 15000}, {1, 1000}, {3000000, INT_MAX}};
  for (auto [seconds, ms] : cases) EXPECT_EQ(timed_timeout_ms(seconds), ms) << seconds;
  EXPECT_EQ(timed_timeout_ms(TimedRequest{}.timeout_seconds), 15000);
}

TEST_F(FetchTest, MinusOneKeepsTheObjectsOwnTimeouts) {
  RawServer server([](const RawRequest&) { return aftest::kStall; });
  RequestObject object;
  object.set_timeouts(1000, 1000, 1000, 1000);
  TimedRequest timed;
  timed.request_object = &object;
  timed.timeout_seconds = -1;
  auto start = Clock::now();
  EXPECT_EQ(fetch_page_timed(server.base() + "/", timed).body, "");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1 + 5));
}

TEST_F(FetchTest, ReusedObjectKeepsConnectionAndCookies) {
  RawServer server([](const RawRequest& r) {
    if (r.request_line().find("/one") != std::string::npos) return ok("1", "Set-Cookie: obj=1; path=/\r\n");
    return ok("2");
  });
  RequestObject object;
  TimedRequest timed;
  timed.request_object = &object;
  EXPECT_EQ(fetch_page_timed(server.base() + "/one", timed).body, "1");
  EXPECT_EQ(fetch_page_timed(server.base() + "/two", timed).body, "2");
  Lines none;
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].connection, requests[1].connection);
  EXPECT_EQ(requests[1].values("Cookie"), Lines{"obj=1"});
  // The object's cookies stay its own.
  for (const Cookie& c : CookieStore::instance().all_cookies()) EXPECT_NE(c.name, "obj");
  // A fresh object starts without them, on a new connection.
  fetch_page_timed(server.base() + "/two");
  EXPECT_TRUE(server.last().values("Cookie").empty());
  EXPECT_NE(server.last().connection, requests[0].connection);
}

TEST_F(FetchTest, ObjectMembersFailSilently) {
  RequestObject object;
  object.send("x");  // not opened
  EXPECT_EQ(object.status(), 0);
  EXPECT_EQ(object.response_body(), "");
  object.open("GET", "host.example/no-scheme", false);
  object.set_request_header("A", "b");
  object.send("");
  EXPECT_EQ(object.status(), 0);
  EXPECT_EQ(object.get_all_response_headers(), "");
  EXPECT_EQ(fetch_page_timed("host.example/no-scheme").body, "");
}

// ----------------------------------------------------------------------------------------
// Proxies

TEST_F(FetchTest, ProxyReceivesAbsoluteRequest) {
  bool challenge = false;
  RawServer proxy([&](const RawRequest& r) {
    if (challenge && r.values("Proxy-Authorization").empty())
      return http_answer("407 Proxy Authentication Required", "Proxy-Authenticate: Basic realm=\"p\"\r\n", "");
    return ok("via proxy");
  });
  std::string target = "http://target.example/p?x=1";
  PageRequest page;
  page.proxy = "127.0.0.1:" + std::to_string(proxy.port());
  EXPECT_EQ(fetch_page(target, page).body, "via proxy");
  EXPECT_EQ(proxy.last().request_line(), "GET http://target.example/p?x=1 HTTP/1.1");
  EXPECT_EQ(proxy.last().values("Referer"), Lines{target});

  TimedRequest timed;
  timed.proxy = page.proxy;
  timed.proxy_user = "u";
  timed.proxy_password = "p";
  challenge = true;
  EXPECT_EQ(fetch_page_timed(target, timed).body, "via proxy");
  EXPECT_EQ(proxy.last().request_line(), "GET http://target.example/p?x=1 HTTP/1.1");
  // Basic credentials for the proxy: "u:p".
  EXPECT_EQ(proxy.last().values("Proxy-Authorization"), Lines{"Basic dTpw"});
}

// ----------------------------------------------------------------------------------------
// Pause and end

TEST_F(FetchTest, EndedGateAbortsAStalledTransfer) {
  RawServer server([](const RawRequest&) { return aftest::kStall; });
  DownloadControl control;
  std::thread ender([&] {
    EXPECT_TRUE(aftest::eventually([&] { return !server.requests().empty(); })) << "the request under way";
    control.end();
  });
  PageRequest page;
  page.gate = &control;
  auto start = Clock::now();
  EXPECT_EQ(fetch_page(server.base() + "/", page).body, "");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  ender.join();
}

// A paused gate holds the fetch before its request: one sent without a gate after it is
// answered first. Continued, the held request goes out; ended, it never does.
TEST_F(FetchTest, PausedGateHoldsTheTransferUntilContinue) {
  for (const bool timed : {false, true})
    for (const bool resume : {true, false}) {
      SCOPED_TRACE(std::string(timed ? "timed, " : "page, ") + (resume ? "continued" : "ended"));
      RawServer server([](const RawRequest& r) { return ok(r.request_line()); });
      DownloadControl control;
      control.pause();
      TimedRequest timed_request;
      PageRequest page_request;
      timed_request.gate = page_request.gate = &control;
      std::atomic<bool> started{false}, done{false};
      std::string body = "none";
      std::thread fetcher([&] {
        started = true;
        const std::string held = server.base() + "/held";
        body = (timed ? fetch_page_timed(held, timed_request) : fetch_page(held, page_request)).body;
        done = true;
      });
      EXPECT_TRUE(aftest::eventually([&] { return started.load(); })) << "the held fetch to start";
      EXPECT_EQ(fetch_page(server.base() + "/free").body, "GET /free HTTP/1.1");
      EXPECT_FALSE(done);
      EXPECT_EQ(server.requests().size(), 1u);
      ASSERT_TRUE(aftest::release_held_fetch(control, resume, done, fetcher)) << "the held fetch to return";
      EXPECT_EQ(body, resume ? "GET /held HTTP/1.1" : "");
      EXPECT_EQ(server.requests().size(), resume ? 2u : 1u);
    }
}

// ----------------------------------------------------------------------------------------
// Certificates

class TlsTest : public FetchTest {
 protected:
  void SetUp() override {
    FetchTest::SetUp();
    dir_ = std::filesystem::temp_directory_path() / ("af-tls-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    // Self-signed, and named for another host.
    std::string command = "timeout 60 openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=other.example -keyout " +
                          (dir_ / "key.pem").string() + " -out " + (dir_ / "cert.pem").string() + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    FetchTest::TearDown();
  }
  std::filesystem::path dir_;
};

TEST_F(TlsTest, TimedTransportIgnoresCertificateErrorsPageFetchDoesNot) {
  httplib::SSLServer server((dir_ / "cert.pem").c_str(), (dir_ / "key.pem").c_str());
  ASSERT_TRUE(server.is_valid());
  server.Get("/secure", [](const httplib::Request&, httplib::Response& res) { res.set_content("secret", "text/plain"); });
  int port = server.bind_to_any_port("127.0.0.1");
  std::thread runner([&] { server.listen_after_bind(); });
  ASSERT_TRUE(aftest::eventually([&] { return server.is_running(); })) << "the TLS server to listen";
  std::string address = "https://127.0.0.1:" + std::to_string(port) + "/secure";

  Response response = fetch_page_timed(address);
  EXPECT_EQ(response.body, "secret");
  EXPECT_EQ(response.status, 200);

  response = fetch_page(address);
  EXPECT_EQ(response.body, "");
  EXPECT_EQ(response.headers, "");

  // A plain http address that redirects to the secure one is followed there.
  RawServer redirect([&](const RawRequest&) { return http_answer("302 Found", "Location: " + address + "\r\n", "to tls"); });
  response = fetch_page_timed(redirect.base() + "/go");
  EXPECT_EQ(response.body, "secret");
  EXPECT_EQ(response.status, 200);

  server.stop();
  runner.join();
}

}  // namespace
}  // namespace af
