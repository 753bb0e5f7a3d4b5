// SPDX-License-Identifier: GPL-3.0-or-later
#include "http/cookie_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/paths.h"

namespace af {
namespace {

long long in_days(int days) { return static_cast<long long>(std::time(nullptr)) + days * 86400LL; }

Cookie make(const std::string& domain, const std::string& name, const std::string& value, long long expires = 0) {
  Cookie c;
  c.domain = domain;
  c.include_subdomains = !domain.empty() && domain[0] == '.';
  c.name = name;
  c.value = value;
  c.expires = expires;
  return c;
}

const Cookie* find(const std::vector<Cookie>& cookies, const std::string& name) {
  for (const Cookie& c : cookies)
    if (c.name == name) return &c;
  return nullptr;
}

class CookieStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("af-cookies-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    CookieStore::instance().clear();
  }
  void TearDown() override {
    CookieStore::instance().clear();
    std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_;
};

struct LineCase {
  Cookie cookie;
  std::string line;
};

class NetscapeLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(NetscapeLineTest, RoundTrips) {
  const LineCase& c = GetParam();
  EXPECT_EQ(netscape_line(c.cookie), c.line);
  Cookie back;
  ASSERT_TRUE(parse_netscape_line(c.line, back));
  EXPECT_EQ(back.domain, c.cookie.domain);
  EXPECT_EQ(back.include_subdomains, c.cookie.include_subdomains);
  EXPECT_EQ(back.path, c.cookie.path);
  EXPECT_EQ(back.secure, c.cookie.secure);
  EXPECT_EQ(back.http_only, c.cookie.http_only);
  EXPECT_EQ(back.expires, c.cookie.expires);
  EXPECT_EQ(back.name, c.cookie.name);
  EXPECT_EQ(back.value, c.cookie.value);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, NetscapeLineTest,
    ::testing::Values(LineCase{Cookie{"host.example", false, "/", false, false, 0, "a", "1"},
                               "host.example\tFALSE\t/\tFALSE\t0\ta\t1"},
                      LineCase{Cookie{".weibo.example", true, "/p", true, true, 2000000000, "SUB", "x y"},
                               "#HttpOnly_.weibo.example\tTRUE\t/p\tTRUE\t2000000000\tSUB\tx y"},
                      LineCase{Cookie{"h", false, "/", false, false, 5, "empty", ""}, "h\tFALSE\t/\tFALSE\t5\tempty\t"}));

TEST(NetscapeLine, RejectsCommentsAndBrokenLines) {
  Cookie c;
  EXPECT_FALSE(parse_netscape_line("# Netscape HTTP Cookie File", c));
  EXPECT_FALSE(parse_netscape_line("", c));
  EXPECT_FALSE(parse_netscape_line("a\tb\tc", c));
  EXPECT_FALSE(parse_netscape_line("h\tFALSE\t/\tFALSE\tsoon\ta\t1", c));
}

TEST_F(CookieStoreTest, SetReplaceAndRemove) {
  CookieStore& store = CookieStore::instance();
  store.set_cookie(make("h.example", "a", "1"));
  store.set_cookie(make(".h.example", "b", "2", in_days(1)));
  store.set_cookie(make("h.example", "a", "3"));
  auto all = store.all_cookies();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(find(all, "a")->value, "3");
  EXPECT_EQ(find(all, "b")->domain, ".h.example");
  EXPECT_TRUE(find(all, "b")->include_subdomains);

  // A removal that names an older value leaves the newer one (a browser overwrite).
  store.remove_cookie(make("h.example", "a", "1"));
  EXPECT_NE(find(store.all_cookies(), "a"), nullptr);
  store.remove_cookie(make("h.example", "a", "3"));
  EXPECT_EQ(find(store.all_cookies(), "a"), nullptr);

  // An expired cookie removes the stored one.
  store.set_cookie(make(".h.example", "b", "2", 1000));
  EXPECT_TRUE(store.all_cookies().empty());
}

TEST_F(CookieStoreTest, SaveKeepsPersistentCookiesOnlyWithOwnerOnlyMode) {
  CookieStore& store = CookieStore::instance();
  Cookie persistent = make("h.example", "keep", "1", in_days(30));
  persistent.http_only = true;
  store.set_cookie(persistent);
  store.set_cookie(make("h.example", "session", "2"));
  std::string path = (dir_ / "cookies.txt").string();
  {
    std::ofstream old(path);  // an existing file with a wider mode
  }
  ::chmod(path.c_str(), 0644);
  store.save(path);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("#HttpOnly_h.example\tFALSE\t/\tFALSE\t"), std::string::npos);
  EXPECT_EQ(text.str().find("session"), std::string::npos);

  store.clear();
  EXPECT_TRUE(store.all_cookies().empty());
  store.load(path);
  auto all = store.all_cookies();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, "keep");
  EXPECT_TRUE(all[0].http_only);
}

TEST_F(CookieStoreTest, LoadSkipsSessionAndExpiredLines) {
  std::string path = (dir_ / "hand.txt").string();
  std::ofstream(path) << "# comment\n"
                      << "h\tFALSE\t/\tFALSE\t0\tsession\t1\n"
                      << "h\tFALSE\t/\tFALSE\t1000\told\t1\n"
                      << "h\tFALSE\t/\tFALSE\t" << in_days(2) << "\tnew\t1\r\n"
                      << "garbage\n";
  CookieStore::instance().load(path);
  auto all = CookieStore::instance().all_cookies();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, "new");
  CookieStore::instance().load((dir_ / "missing.txt").string());  // nothing happens
  EXPECT_EQ(CookieStore::instance().all_cookies().size(), 1u);
}

TEST_F(CookieStoreTest, DefaultPathIsInTheProgramDirectory) {
  set_program_directory(dir_.string());
  EXPECT_EQ(CookieStore::instance().default_path(), (dir_ / "cookies.txt").string());
  CookieStore::instance().set_cookie(make("h", "p", "1", in_days(1)));
  CookieStore::instance().save();
  EXPECT_TRUE(std::filesystem::exists(dir_ / "cookies.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "cookies.txt.tmp"));
}

}  // namespace
}  // namespace af
