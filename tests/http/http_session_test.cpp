// SPDX-License-Identifier: GPL-3.0-or-later
#include "http/http_session.h"

#include <gtest/gtest.h>

#include <string>

#include "util/codepage.h"

namespace af {
namespace {

struct AddressCase {
  std::string address;
  std::string host;
  std::string host_port;
  int port;
  std::string path;
  bool secure;
};

class AddressTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressTest, SplitsHostPortAndPath) {
  const AddressCase& c = GetParam();
  EXPECT_EQ(url_host(c.address), c.host);
  EXPECT_EQ(url_host(c.address, true), c.host_port);
  EXPECT_EQ(url_port(c.address), c.port);
  EXPECT_EQ(url_path(c.address), c.path);
  EXPECT_EQ(is_secure_address(c.address), c.secure);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, AddressTest,
    ::testing::Values(
        AddressCase{"host.example", "host.example", "host.example", 80, "/", false},
        AddressCase{"https://host.example", "host.example", "host.example", 443, "/", true},
        AddressCase{"http://host.example:8080/p?q=1", "host.example", "host.example:8080", 8080, "/p?q=1", false},
        AddressCase{"http://host.example:/x", "host.example", "host.example:", 0, "/x", false},
        AddressCase{"Host.EXAMPLE/a", "host.example", "host.example", 80, "/a", false},
        AddressCase{"HTTPS://Host.example:8080/x", "host.example", "host.example:8080", 8080, "/x", true},
        AddressCase{"http://Host.example/Albums/get?uid=1", "host.example", "host.example", 80, "/Albums/get?uid=1",
                    false},
        AddressCase{"http://host.example", "host.example", "host.example", 80, "/", false},
        AddressCase{"hTTpS://A.b/C", "a.b", "a.b", 443, "/C", true},
        // A secure address that names a port uses it.
        AddressCase{"https://h.example:8443/", "h.example", "h.example:8443", 8443, "/", true},
        // Text before the first "http://" is skipped over.
        AddressCase{"see http://h.example/x", "h.example", "h.example", 80, "/x", false},
        AddressCase{"http://h.example:abc/", "h.example", "h.example:abc", 0, "/", false}));

TEST(MethodText, OutOfRangeIsGet) {
  EXPECT_EQ(method_text(HttpMethod::Get), "GET");
  EXPECT_EQ(method_text(HttpMethod::Post), "POST");
  EXPECT_EQ(method_text(HttpMethod::Head), "HEAD");
}

struct HeaderLineCase {
  std::string line, name, value;
};

class HeaderLineTest : public ::testing::TestWithParam<HeaderLineCase> {};

TEST_P(HeaderLineTest, NameAndValue) {
  EXPECT_EQ(header_name(GetParam().line), GetParam().name);
  EXPECT_EQ(header_value(GetParam().line), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Lines, HeaderLineTest,
                         ::testing::Values(HeaderLineCase{"Accept: */*", "Accept", "*/*"},
                                           HeaderLineCase{"  X-A  :  b c  ", "X-A", "b c"},
                                           HeaderLineCase{"Referer: http://h/x", "Referer", "http://h/x"},
                                           HeaderLineCase{"no colon", "", ""},
                                           HeaderLineCase{"Empty:", "Empty", ""},
                                           HeaderLineCase{"\t Tab:\tv", "\t Tab", "\tv"}));

struct AgentCase {
  std::string headers, agent;
};

class AgentTest : public ::testing::TestWithParam<AgentCase> {};

TEST_P(AgentTest, Chooses) { EXPECT_EQ(choose_user_agent(GetParam().headers), GetParam().agent); }

INSTANTIATE_TEST_SUITE_P(
    Agents, AgentTest,
    ::testing::Values(AgentCase{"", std::string(kDefaultAgent)}, AgentCase{"Accept: x", std::string(kDefaultAgent)},
                      AgentCase{"User-Agent: X\r\nAccept: y", "X"},
                      // Lower case: present, exact extraction fails, the block's first colon wins.
                      AgentCase{"user-agent: X", "X"},
                      AgentCase{"Accept: a\r\nuser-agent: X", "a\r\nuser-agent: X"},
                      // The exact header on the last line has no CR LF after it.
                      AgentCase{"Accept: a\r\nUser-Agent: Z", "a\r\nUser-Agent: Z"},
                      AgentCase{"Accept: a\r\nUser-Agent:  Z \r\n", "Z"}));

struct CompletionCase {
  std::string headers;
  std::string address;
  std::string cookie;
  HeaderStyle style;
  std::string expected;
};

class CompletionTest : public ::testing::TestWithParam<CompletionCase> {};

TEST_P(CompletionTest, CompletesInPlace) {
  std::string headers = GetParam().headers;
  complete_headers(headers, GetParam().address, GetParam().cookie, GetParam().style);
  EXPECT_EQ(headers, GetParam().expected);
}

const std::string kLang = "\r\nAccept-Language: zh-cn";
const std::string kType = "\r\nContent-Type: application/x-www-form-urlencoded";
const std::string kAgentLine = "\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

INSTANTIATE_TEST_SUITE_P(
    Blocks, CompletionTest,
    ::testing::Values(
        CompletionCase{"", "http://H.example/P", "", HeaderStyle::Inet,
                       "Accept: */*\r\nReferer: http://H.example/P" + kLang + kType},
        CompletionCase{"", "http://h/p", "a=1", HeaderStyle::Inet,
                       "Accept: */*\r\nReferer: http://h/p" + kLang + kType + "\r\nCookie: a=1"},
        CompletionCase{"", "http://h/p", "a=1", HeaderStyle::Object,
                       "Accept: */*\r\nReferer: http://h/p" + kLang + kAgentLine + kType},
        CompletionCase{"Accept: text/html\r\nReferer: r", "http://h/p", "", HeaderStyle::Inet,
                       "Accept: text/html\r\nReferer: r" + kLang + kType},
        CompletionCase{"accept: text/html", "http://h/p", "", HeaderStyle::Inet,
                       "accept: text/html\r\nAccept: */*\r\nReferer: http://h/p" + kLang + kType},
        CompletionCase{"User-Agent: X", "http://h/p", "", HeaderStyle::Object,
                       "User-Agent: X\r\nAccept: */*\r\nReferer: http://h/p" + kLang + kType},
        CompletionCase{"user-agent: X", "http://h/p", "", HeaderStyle::Object,
                       "user-agent: X\r\nAccept: */*\r\nReferer: http://h/p" + kLang + kAgentLine + kType},
        // The cookie line is appended even when the block already holds one.
        CompletionCase{"Cookie: z=9", "http://h/p", "a=1", HeaderStyle::Inet,
                       "Cookie: z=9\r\nAccept: */*\r\nReferer: http://h/p" + kLang + kType + "\r\nCookie: a=1"},
        CompletionCase{"Content-Type: text/plain\r\nAccept-Language: en", "h", "", HeaderStyle::Inet,
                       "Content-Type: text/plain\r\nAccept-Language: en\r\nAccept: */*\r\nReferer: h"}));

struct CollectCase {
  std::string response;
  std::string normalised;
  std::string received;
};

class CollectTest : public ::testing::TestWithParam<CollectCase> {};

TEST_P(CollectTest, CollectsAndNormalises) {
  std::string response = GetParam().response;
  EXPECT_EQ(collect_cookies(response), GetParam().received);
  EXPECT_EQ(response, GetParam().normalised);
}

INSTANTIATE_TEST_SUITE_P(
    Responses, CollectTest,
    ::testing::Values(
        CollectCase{"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", ""},
        CollectCase{"", "", ""},
        CollectCase{"HTTP/1.1 200 OK\r\nSet-Cookie: SUB=abc; path=/\r\nset-cookie: T=1\r\n\r\n",
                    "HTTP/1.1 200 OK\r\nSet-Cookie: SUB=abc; path=/\r\nSet-Cookie: T=1\r\n\r\n", "SUB=abc; T=1"},
        CollectCase{"Set-Cookie: a=1", "Set-Cookie: a=1", "a=1"},
        CollectCase{"SET-COOKIE:  b=2 x ", "Set-Cookie:  b=2 x ", "b=2 x"},
        CollectCase{"Set-Cookie: a=1; path=/\r\nSet-Cookie: b=2 x", "Set-Cookie: a=1; path=/\r\nSet-Cookie: b=2 x",
                    "a=1; b=2 x"}));

struct MergeCase {
  std::string jar, received;
  std::string merged_jar, spaced_received;
};

class MergeTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeTest, Merges) {
  std::string jar = GetParam().jar;
  std::string received = GetParam().received;
  merge_cookies(jar, received);
  EXPECT_EQ(jar, GetParam().merged_jar);
  EXPECT_EQ(received, GetParam().spaced_received);
}

INSTANTIATE_TEST_SUITE_P(Jars, MergeTest,
                         ::testing::Values(MergeCase{"a=1; b=2", "b=3; c=4", "b=3; c=4; a=1", "b=3;c=4"},
                                           MergeCase{"a=1; b=2", "a=deleted", "b=2", "a=deleted"},
                                           MergeCase{"a = 1; b=2", "", "a=1; b=2", ""},
                                           MergeCase{"", "", "", ""},
                                           MergeCase{"", "a=1; b=2", "a=1; b=2", "a=1;b=2"},
                                           MergeCase{"a=1", "a=2", "a=2", "a=2"},
                                           MergeCase{"v=x y z", "", "v=xyz", ""},
                                           // Of two old items with one name only the first survives.
                                           MergeCase{"a=1; a=2; b=3", "", "a=1; b=3", ""},
                                           // Duplicate received items are removed afterwards.
                                           MergeCase{"", "a=1; a=1", "a=1", "a=1;a=1"},
                                           MergeCase{"x; y=1", "x=2", "x=2; y=1", "x=2"},
                                           MergeCase{"a=1;b=deleted", "", "a=1", ""},
                                           MergeCase{"A=1", "a=2", "a=2; A=1", "a=2"}));

TEST(CookieName, BeforeFirstEqualsTrimmed) {
  EXPECT_EQ(cookie_name(" a =1=2"), "a");
  EXPECT_EQ(cookie_name(" flag "), "flag");
  EXPECT_EQ(cookie_name("=v"), "");
}

TEST(RemoveDuplicateItems, KeepsFirstOfEach) {
  EXPECT_EQ(remove_duplicate_items("a=1; b=2; a=1", "; "), "a=1; b=2");
  EXPECT_EQ(remove_duplicate_items("a=1; a=2", "; "), "a=1; a=2");
  EXPECT_EQ(remove_duplicate_items("", "; "), "");
  EXPECT_EQ(remove_duplicate_items("x,x,X", ","), "x,X");
}

TEST(GbkTexts, TwoByteCharactersStayWhole) {
  // A header line whose value holds GBK text keeps its bytes; the full-width space trims.
  std::string value = G("\xE3\x80\x80相册\xE3\x80\x80");
  EXPECT_EQ(header_value("X-Name:" + value), G("相册"));
  std::string jar = "n=" + G("相 册");
  std::string received;
  merge_cookies(jar, received);
  EXPECT_EQ(jar, "n=" + G("相册"));
}

}  // namespace
}  // namespace af
