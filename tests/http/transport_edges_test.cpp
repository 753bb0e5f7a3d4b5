// SPDX-License-Identifier: GPL-3.0-or-later
// The transports at their edges: answers cut off mid-body, addresses sent byte for byte,
// redirects, the exact header block, proxies named with a scheme, port 0, and the cookie
// changes reported to the login browser.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

#include "http/cookie_store.h"
#include "http/fetch.h"
#include "http/raw_server.h"

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

class TransportEdgeTest : public ::testing::Test {
 protected:
  void SetUp() override { CookieStore::instance().clear(); }
  void TearDown() override {
    CookieStore::instance().set_listener(nullptr);
    CookieStore::instance().clear();
  }
};

// ----------------------------------------------------------------------------------------
// An answer that breaks off in its body

struct CutCase {
  std::string name;
  std::string answer;  // sent, then the connection is closed
  std::string arrived; // the body bytes that did arrive
};

class CutAnswerTest : public TransportEdgeTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(CutAnswerTest, TimedTransportCountsItAsNoAnswer) {
  RawServer server([](const RawRequest&) { return GetParam().answer; });
  TimedRequest timed;
  timed.cookie_jar = "a=1";
  Response response = fetch_page_timed(server.base() + "/img.jpg", timed);
  EXPECT_EQ(response.body, "");
  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(response.headers, "");
  EXPECT_EQ(response.cookies, "");  // nothing received, nothing to merge in

  // A reused object reports no answer either.
  RequestObject object;
  timed.request_object = &object;
  response = fetch_page_timed(server.base() + "/img.jpg", timed);
  EXPECT_EQ(response.body, "");
  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(object.response_body(), "");
  EXPECT_EQ(object.get_all_response_headers(), "");

  // The page transport returns what arrived, as the platform's reads would.
  response = fetch_page(server.base() + "/img.jpg");
  EXPECT_EQ(response.body, GetParam().arrived);
  EXPECT_EQ(response.headers.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, CutAnswerTest,
    ::testing::Values(
        CutCase{"LengthAnnouncedNotSent",
                "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nSet-Cookie: c=1\r\nConnection: close\r\n\r\n0123456789",
                "0123456789"},
        CutCase{"ChunkedWithoutLastChunk",
                "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nSet-Cookie: c=1\r\nConnection: close\r\n\r\n"
                "5\r\nhello\r\n",
                "hello"}),
    [](const auto& info) { return info.param.name; });

TEST_F(TransportEdgeTest, CompleteAnswerAfterACutOneIsDeliveredAgain) {
  int calls = 0;
  RawServer server([&](const RawRequest&) {
    if (++calls == 1) return std::string("HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\nshort");
    return ok("whole");
  });
  RequestObject object;
  TimedRequest timed;
  timed.request_object = &object;
  Response response = fetch_page_timed(server.base() + "/a", timed);
  EXPECT_EQ(response.body, "");
  EXPECT_EQ(response.status, 0);
  response = fetch_page_timed(server.base() + "/a", timed);
  EXPECT_EQ(response.body, "whole");
  EXPECT_EQ(response.status, 200);
}

// ----------------------------------------------------------------------------------------
// The address goes on the request line as the caller wrote it

struct PathCase {
  std::string name;
  std::string path;
};

class ExactPathTest : public TransportEdgeTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(ExactPathTest, BothTransportsSendThePathUnchanged) {
  RawServer server([](const RawRequest&) { return ok("x"); });
  const std::string address = server.base() + GetParam().path;
  EXPECT_EQ(fetch_page(address).body, "x");
  RawRequest r = server.last();
  EXPECT_EQ(r.request_line(), "GET " + GetParam().path + " HTTP/1.1");
  EXPECT_EQ(r.values("Referer"), Lines{address});

  const Response response = fetch_page_timed(address);
  EXPECT_EQ(response.body, "x");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(server.last().request_line(), "GET " + GetParam().path + " HTTP/1.1");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ExactPathTest,
    ::testing::Values(PathCase{"GbkBytes", "/\xCF\xE0\xB2\xE1/\xD5\xD5\xC6\xAC?name=\xD6\xD0\xCE\xC4"},
                      PathCase{"Space", "/a b?q=c d"}, PathCase{"Fragment", "/p?x=1#frag"},
                      PathCase{"AlreadyEscaped", "/a%20b/%E4%B8%AD?x=%2F"},
                      PathCase{"DotSegments", "/a/../b/./c"}, PathCase{"Capitals", "/Albums/Get?UID=1"},
                      PathCase{"Brackets", "/x?a[]=1&b={2}|3"}, PathCase{"BrokenEscapes", "/a%zz/%?q=%"},
                      PathCase{"BackslashAndQuotes", "/a\\b\"c'd<e>^`"},
                      PathCase{"TabAndDelete", "/a\tb\x7F"}, PathCase{"AtAndColon", "/u@h:1/x"}),
    [](const auto& info) { return info.param.name; });

TEST_F(TransportEdgeTest, StoredCookieWithAPathGoesToThatPathOnly) {
  Cookie c;
  c.domain = "127.0.0.1";
  c.path = "/albums";
  c.name = "deep";
  c.value = "1";
  CookieStore::instance().set_cookie(c);
  RawServer server([](const RawRequest&) { return ok("x"); });
  fetch_page(server.base() + "/albums/list?page=2");
  EXPECT_EQ(server.last().values("Cookie"), Lines{"deep=1"});
  fetch_page(server.base() + "/other");
  EXPECT_TRUE(server.last().values("Cookie").empty());
}

TEST_F(TransportEdgeTest, CookieWithoutPathIsKeptForTheRequestDirectory) {
  RawServer server([](const RawRequest& r) {
    if (r.request_line().find("/dir/set") != std::string::npos) return ok("x", "Set-Cookie: here=1\r\n");
    return ok("y");
  });
  fetch_page(server.base() + "/dir/set?x=1");
  fetch_page(server.base() + "/dir/next");
  EXPECT_EQ(server.last().values("Cookie"), Lines{"here=1"});
  fetch_page(server.base() + "/elsewhere");
  EXPECT_TRUE(server.last().values("Cookie").empty());
}

// ----------------------------------------------------------------------------------------
// Redirects

TEST_F(TransportEdgeTest, RelativeRedirectResolvesAgainstTheRequestedPath) {
  RawServer server([](const RawRequest& r) {
    if (r.request_line().find("/dir/page") != std::string::npos)
      return http_answer("302 Found", "Location: next?x=1\r\nSet-Cookie: hop=1; path=/\r\n", "moved");
    return ok("at " + r.request_line());
  });
  EXPECT_EQ(fetch_page(server.base() + "/dir/page").body, "at GET /dir/next?x=1 HTTP/1.1");
  // The cookie the redirect set goes with the next request; the block is sent again.
  RawRequest r = server.last();
  EXPECT_EQ(r.values("Cookie"), Lines{"hop=1"});
  EXPECT_EQ(r.values("Referer"), Lines{server.base() + "/dir/page"});
  EXPECT_EQ(r.values("Accept"), Lines{"*/*"});

  const Response response = fetch_page_timed(server.base() + "/dir/page");
  EXPECT_EQ(response.body, "at GET /dir/next?x=1 HTTP/1.1");
  EXPECT_EQ(response.status, 200);
}

struct RedirectCase {
  int code;
  HttpMethod method;
  std::string followed;  // request line of the second request
  std::string body;      // its body
};

class RedirectMethodTest : public TransportEdgeTest, public ::testing::WithParamInterface<RedirectCase> {};

TEST_P(RedirectMethodTest, MethodAndBodyChangeAsBrowsersDo) {
  const RedirectCase& c = GetParam();
  RawServer server([&](const RawRequest& r) {
    if (r.request_line().find("/form") != std::string::npos)
      return http_answer(std::to_string(c.code) + " Moved", "Location: /done\r\n", "");
    return ok("done");
  });
  PageRequest page;
  page.method = c.method;
  page.body_text = "a=1";
  fetch_page(server.base() + "/form", page);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].request_line(), c.followed);
  EXPECT_EQ(requests[1].body, c.body);

  TimedRequest timed;
  timed.method = c.method;
  timed.body_text = "a=1";
  fetch_page_timed(server.base() + "/form", timed);
  requests = server.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[3].request_line(), c.followed);
  EXPECT_EQ(requests[3].body, c.body);
}

INSTANTIATE_TEST_SUITE_P(Codes, RedirectMethodTest,
                         ::testing::Values(RedirectCase{301, HttpMethod::Post, "GET /done HTTP/1.1", ""},
                                           RedirectCase{302, HttpMethod::Post, "GET /done HTTP/1.1", ""},
                                           RedirectCase{303, HttpMethod::Post, "GET /done HTTP/1.1", ""},
                                           RedirectCase{307, HttpMethod::Post, "POST /done HTTP/1.1", "a=1"},
                                           RedirectCase{308, HttpMethod::Post, "POST /done HTTP/1.1", "a=1"},
                                           RedirectCase{302, HttpMethod::Head, "HEAD /done HTTP/1.1", "a=1"},
                                           RedirectCase{303, HttpMethod::Head, "HEAD /done HTTP/1.1", "a=1"}),
                         [](const auto& info) {
                           return std::to_string(info.param.code) +
                                  (info.param.method == HttpMethod::Post ? "Post" : "Head");
                         });

TEST_F(TransportEdgeTest, JarCookieLineStaysWithTheFirstHost) {
  RawServer other([](const RawRequest&) { return ok("other host"); });
  RawServer first([&](const RawRequest& r) {
    if (r.request_line().find("/away") != std::string::npos)
      return http_answer("302 Found", "Location: " + other.base() + "/there\r\n", "");
    if (r.request_line().find("/stay") != std::string::npos)
      return http_answer("302 Found", "Location: /here\r\n", "");
    return ok("same host");
  });
  PageRequest page;
  page.cookie_jar = "a=1";
  EXPECT_EQ(fetch_page(first.base() + "/stay", page).body, "same host");
  EXPECT_EQ(first.last().values("Cookie"), Lines{"a=1"});
  EXPECT_EQ(fetch_page(first.base() + "/away", page).body, "other host");
  EXPECT_EQ(other.last().request_line(), "GET /there HTTP/1.1");
  EXPECT_TRUE(other.last().values("Cookie").empty());
  EXPECT_EQ(other.last().values("Referer"), Lines{first.base() + "/away"});
}

TEST_F(TransportEdgeTest, EndlessRedirectsStopAtABound) {
  RawServer server([](const RawRequest& r) {
    return http_answer("302 Found", "Location: /loop\r\n", "again " + r.request_line());
  });
  auto start = Clock::now();
  Response response = fetch_page(server.base() + "/loop");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(server.requests().size(), 31u);
  EXPECT_EQ(response.headers.rfind("HTTP/1.1 302", 0), 0u);

  response = fetch_page_timed(server.base() + "/loop");
  EXPECT_EQ(response.body, "");
  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(server.requests().size(), 31u + 11u);
}

TEST_F(TransportEdgeTest, RedirectToAnotherSchemeIsNotFollowed) {
  RawServer server([](const RawRequest&) { return http_answer("302 Found", "Location: ftp://127.0.0.1/x\r\n", "here"); });
  const Response response = fetch_page_timed(server.base() + "/");
  EXPECT_EQ(response.body, "here");
  EXPECT_EQ(response.status, 302);
  EXPECT_EQ(fetch_page(server.base() + "/").body, "here");
  EXPECT_EQ(server.requests().size(), 2u);
}

// ----------------------------------------------------------------------------------------
// Port 0 and proxies

TEST_F(TransportEdgeTest, PortZeroIsTheSchemesDefault) {
  RawServer proxy([](const RawRequest& r) {
    if (r.request_line().rfind("CONNECT", 0) == 0) return aftest::kDrop;
    return ok("via proxy");
  });
  const std::string proxy_text = "127.0.0.1:" + std::to_string(proxy.port());
  PageRequest page;
  page.proxy = proxy_text;
  EXPECT_EQ(fetch_page("http://target.example:/x?y=1", page).body, "via proxy");
  EXPECT_EQ(proxy.last().request_line(), "GET http://target.example/x?y=1 HTTP/1.1");
  EXPECT_EQ(proxy.last().values("Host"), Lines{"target.example"});

  TimedRequest timed;
  timed.proxy = proxy_text;
  EXPECT_EQ(fetch_page_timed("http://target.example:/x?y=1", timed).body, "via proxy");
  EXPECT_EQ(proxy.last().request_line(), "GET http://target.example/x?y=1 HTTP/1.1");

  EXPECT_EQ(fetch_page("https://secure.example:/x", page).body, "");
  EXPECT_EQ(proxy.last().request_line(), "CONNECT secure.example:443 HTTP/1.1");
}

TEST_F(TransportEdgeTest, ProxyNamedWithItsSchemeIsUsedAsGiven) {
  RawServer proxy([](const RawRequest&) { return ok("via proxy"); });
  PageRequest page;
  page.proxy = "http://127.0.0.1:" + std::to_string(proxy.port());
  EXPECT_EQ(fetch_page("http://target.example/p", page).body, "via proxy");
  EXPECT_EQ(proxy.last().request_line(), "GET http://target.example/p HTTP/1.1");

  TimedRequest timed;
  timed.proxy = page.proxy;
  EXPECT_EQ(fetch_page_timed("http://target.example/q", timed).body, "via proxy");
  EXPECT_EQ(proxy.last().request_line(), "GET http://target.example/q HTTP/1.1");
}

TEST_F(TransportEdgeTest, RedirectThroughAProxyNamesTheWholeAddress) {
  RawServer proxy([](const RawRequest& r) {
    if (r.request_line().find("/old") != std::string::npos)
      return http_answer("302 Found", "Location: /new?\xD6\xD0\r\n", "");
    return ok("new");
  });
  PageRequest page;
  page.proxy = "127.0.0.1:" + std::to_string(proxy.port());
  EXPECT_EQ(fetch_page("http://target.example/old", page).body, "new");
  auto requests = proxy.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].request_line(), "GET http://target.example/old HTTP/1.1");
  // A redirect's address is taken as curl takes it: bytes outside ASCII escaped.
  EXPECT_EQ(requests[1].request_line(), "GET http://target.example/new?%d6%d0 HTTP/1.1");
}

// ----------------------------------------------------------------------------------------
// Exactly the completed block, nothing curl would add

TEST_F(TransportEdgeTest, PageFetchSendsExactlyTheBlock) {
  RawServer server([](const RawRequest&) { return ok("x"); });
  const std::string address = server.base() + "/p";
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port());

  // "X-Accept:" holds "Accept:", so no default is added; curl must not add its own either.
  PageRequest page;
  page.headers = "X-Accept: 1";
  fetch_page(address, page);
  EXPECT_EQ(server.last().header_lines(), (Lines{host, "User-Agent: " + kAgent, "X-Accept: 1", "Referer: " + address,
                                                 "Accept-Language: zh-cn", "Content-Type: " + kType}));

  // A POST whose block holds "X-Content-Type:" gets no content type at all.
  page.headers = "X-Content-Type: a";
  page.method = HttpMethod::Post;
  page.body_text = "b=2";
  fetch_page(address, page);
  RawRequest r = server.last();
  EXPECT_EQ(r.values("Content-Type"), Lines{});
  EXPECT_EQ(r.values("X-Content-Type"), Lines{"a"});
  EXPECT_EQ(r.values("Accept"), Lines{"*/*"});
  EXPECT_EQ(r.body, "b=2");

  // A header with an empty value is sent, not taken as "leave this header out".
  page.headers = "X-Empty:\r\nX-Blank:   ";
  page.method = HttpMethod::Get;
  fetch_page(address, page);
  EXPECT_EQ(server.last().values("X-Empty"), Lines{""});
  EXPECT_EQ(server.last().values("X-Blank"), Lines{""});
}

TEST_F(TransportEdgeTest, TimedFetchSendsExactlyTheBlock) {
  RawServer server([](const RawRequest&) { return ok("x"); });
  const std::string address = server.base() + "/p";
  TimedRequest timed;
  timed.method = HttpMethod::Post;
  timed.body_text = "b=2";
  timed.headers = "X-Content-Type: a\r\nX-Accept: 1\r\nX-Empty:";
  fetch_page_timed(address, timed);
  RawRequest r = server.last();
  EXPECT_EQ(r.values("Content-Type"), Lines{});
  EXPECT_EQ(r.values("Accept"), Lines{});
  EXPECT_EQ(r.values("X-Content-Type"), Lines{"a"});
  EXPECT_EQ(r.values("X-Accept"), Lines{"1"});
  EXPECT_EQ(r.values("X-Empty"), Lines{""});
  EXPECT_EQ(r.values("User-Agent"), Lines{kAgent});
  EXPECT_EQ(r.body, "b=2");
}

// ----------------------------------------------------------------------------------------
// Cookie changes reported to the browser

Cookie store_cookie(const std::string& name, const std::string& value) {
  Cookie c;
  c.domain = "127.0.0.1";
  c.name = name;
  c.value = value;
  return c;
}

TEST_F(TransportEdgeTest, OnlyTheCookiesThisResponseSetAreReported) {
  CookieStore& store = CookieStore::instance();
  store.set_cookie(store_cookie("before", "1"));
  std::vector<Cookie> heard;
  std::mutex m;
  store.set_listener([&](const Cookie& c) {
    std::lock_guard g(m);
    heard.push_back(c);
  });
  RawServer server([&](const RawRequest&) {
    // Meanwhile the browser (another thread) changes the store on its own.
    store.set_cookie(store_cookie("browser", "b"));
    Cookie gone = store_cookie("before", "1");
    store.remove_cookie(gone);
    return ok("x", "Set-Cookie: mine=1; path=/\r\n");
  });
  fetch_page(server.base() + "/set");
  store.set_listener(nullptr);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].name, "mine");
  EXPECT_EQ(heard[0].value, "1");
}

TEST_F(TransportEdgeTest, CookiesSetOnTheWayThroughARedirectAreReported) {
  std::vector<std::string> heard;
  std::mutex m;
  CookieStore::instance().set_listener([&](const Cookie& c) {
    std::lock_guard g(m);
    heard.push_back(c.name + "=" + c.value);
  });
  RawServer server([](const RawRequest& r) {
    if (r.request_line().find("/login") != std::string::npos)
      return http_answer("302 Found", "Location: /home\r\nSet-Cookie: session=s1; path=/\r\n", "");
    return ok("home", "Set-Cookie: seen=1; path=/\r\n");
  });
  EXPECT_EQ(fetch_page(server.base() + "/login").body, "home");
  CookieStore::instance().set_listener(nullptr);
  std::sort(heard.begin(), heard.end());
  EXPECT_EQ(heard, (Lines{"seen=1", "session=s1"}));
}

}  // namespace
}  // namespace af
