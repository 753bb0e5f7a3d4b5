// SPDX-License-Identifier: GPL-3.0-or-later
// Users, album lists and photo pages as the service answers today: script-rendered home
// pages, the visitor page without a login, an expired session, album lists in pages of 20
// and photo pages of at most 30.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <thread>

#include "http/cookie_store.h"
#include "http/rate_limit.h"
#include "service/album_list.h"
#include "service/list_answer.h"
#include "service/photo_list.h"
#include "service/user_page.h"
#include "support/album_list_recorder.h"
#include "support/sample_service_env.h"
#include "util/codepage.h"

namespace {

using af::G;

struct AddressCase {
  const char* address;
  const char* user_id;
  const char* key;
  const char* value;
};

class AddressNames : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressNames, IdOrProfileQuery) {
  const AddressCase c = GetParam();
  EXPECT_EQ(af::user_id_from_address(c.address), c.user_id);
  const af::ProfileQuery query = af::profile_query_from_address(c.address);
  EXPECT_EQ(query.key, c.key);
  EXPECT_EQ(query.value, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AddressNames,
    ::testing::Values(AddressCase{"http://weibo.com/u/1642591402", "1642591402", "", ""},
                      AddressCase{"http://weibo.com/u/1642591402?refer=x#top", "1642591402", "", ""},
                      AddressCase{"http://weibo.com/1642591402/", "1642591402", "", ""},
                      AddressCase{"http://https://weibo.com/u/77", "77", "", ""},
                      AddressCase{"http://weibo.com/u/abc", "", "", ""},
                      AddressCase{"http://weibo.com/n/someone", "", "screen_name", "someone"},
                      AddressCase{"http://weibo.com/someone?is_all=1", "", "custom", "someone"},
                      AddressCase{"http://weibo.com/", "", "", ""},
                      AddressCase{"http://weibo.com", "", "", ""},
                      AddressCase{"http://weibo.com/login", "", "", ""}));

TEST(ServiceTitle, OnlyTheServiceNameCounts) {
  EXPECT_TRUE(af::is_service_title(G("微博")));
  EXPECT_TRUE(af::is_service_title(G(" 新浪微博 ")));
  EXPECT_TRUE(af::is_service_title(G("微博-随时随地发现新鲜事")));
  EXPECT_TRUE(af::is_service_title("Sina Visitor System"));
  EXPECT_FALSE(af::is_service_title(G("某人的微博_微博")));
  EXPECT_FALSE(af::is_service_title(""));
}

TEST(ProfileInfo, IdAndScreenName) {
  const af::ProfileInfo info =
      af::read_profile_info(R"({"ok":1,"data":{"user":{"id":5,"idstr":"5","screen_name":"\u5c0f\u660e"}}})");
  EXPECT_EQ(info.user_id, "5");
  EXPECT_EQ(info.screen_name, G("小明"));
  EXPECT_EQ(af::read_profile_info(R"({"ok":0,"msg":"x"})").user_id, "");
  EXPECT_EQ(af::read_profile_info("<html>").user_id, "");
}

class TodayService : public aftest::SampleServiceTest {
 protected:
  void SetUp() override {
    SampleServiceTest::SetUp();
    service().set_profile(afsample::ServiceProfile::Today);
    service().set_list_burst(0);
  }
  void TearDown() override {
    if (logged_in_) af::CookieStore::instance().remove_cookie(cookie_);
    SampleServiceTest::TearDown();
  }
  void log_in(const std::string& value = {}) {
    cookie_.domain = "127.0.0.1";
    cookie_.name = afsample::SampleService::kSessionCookie;
    cookie_.value = value.empty() ? service().new_session() : value;
    cookie_.http_only = true;
    af::CookieStore::instance().set_cookie(cookie_);
    logged_in_ = true;
  }
  af::AlbumsCommand command(const std::string& address) {
    return af::AlbumsCommand{endpoints(), address, af::Pacing::shortened(0), nullptr};
  }

  af::Cookie cookie_;
  bool logged_in_ = false;
};

TEST_F(TodayService, HomePageWithoutMarkersAtDigitsAndAtACustomAddress) {
  // 小明𠮷 in UTF-8: the screen name (escaped, 𠮷 outside GBK) stands in for the title "微博".
  service().add_user(afsample::make_user("1642591402", "/u/1642591402", "\xE5\xB0\x8F\xE6\x98\x8E𠮷"));
  service().add_user(afsample::make_user("2000000002", "/someone", "Second"));
  log_in();
  const af::UserPage digits = af::resolve_user(base() + "/u/1642591402");
  EXPECT_EQ(digits.user_id, "1642591402");
  EXPECT_EQ(digits.title, G("小明") + "\x95\x34\xB2\x35");
  EXPECT_EQ(digits.failure, "");
  const af::UserPage custom = af::resolve_user(base() + "/someone");
  EXPECT_EQ(custom.user_id, "2000000002");
  EXPECT_EQ(custom.title, "Second");
  const auto asked = service().requests_to("/ajax/profile/info");
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].query, "uid=1642591402");
  EXPECT_EQ(asked[1].query, "custom=someone");
  // The home page itself is asked first, byte for byte as typed.
  EXPECT_EQ(service().requests()[0].target, "/u/1642591402");
}

TEST_F(TodayService, VisitorPageWithoutLoginIsToldAndNoListAsked) {
  service().add_user(afsample::make_user("2000000002", "/someone", "Second"));
  auto view = std::make_shared<aftest::RecordingAlbumListView>();
  af::ResolvedUser user;
  std::thread job = af::get_albums(command(base() + "/someone"), view, user);
  EXPECT_FALSE(job.joinable());
  EXPECT_EQ(user.user_id, "");
  EXPECT_NE(user.failure.find(af::login_advice()), std::string::npos) << af::gbk_to_utf8(user.failure);
  EXPECT_EQ(view->log(), user.failure + "\r\n\r\n");
  EXPECT_TRUE(service().requests_to("/albums/get_all").empty());
}

TEST_F(TodayService, ExpiredSessionGetsTheLoginPageOnTheList) {
  service().add_user(aftest::user_with_albums("1001", {3}));
  log_in("expired0000000000000000000000000");
  af::AlbumListJob job;
  job.endpoints = endpoints();
  job.user_id = "1001";
  job.pacing = af::Pacing::shortened(0);
  aftest::RecordingAlbumListView view;
  EXPECT_EQ(af::load_album_list(job, view), 0);
  EXPECT_TRUE(view.messages().empty());
  EXPECT_NE(view.log().find(af::login_advice()), std::string::npos) << af::gbk_to_utf8(view.log());
  EXPECT_EQ(service().requests_to("/albums/get_all").size(), 10u);
}

TEST_F(TodayService, FortyFiveAlbumsInThreePagesNumberedOn) {
  std::vector<int> counts(45, 2);
  service().add_user(aftest::user_with_albums("1001", counts));
  log_in();
  auto view = std::make_shared<aftest::RecordingAlbumListView>();
  af::ResolvedUser user;
  std::thread job = af::get_albums(command(base() + "/u/1001"), view, user);
  ASSERT_TRUE(job.joinable());
  job.join();
  const auto rows = view->rows();
  ASSERT_EQ(rows.size(), 45u);
  std::set<std::string> ids;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].serial, static_cast<int>(i + 1));
    ids.insert(af::album_ref_text(rows[i].album));
  }
  EXPECT_EQ(ids.size(), 45u);
  const auto asked = service().requests_to("/albums/get_all");
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_EQ(asked[0].target, "/albums/get_all?uid=1001&count=6355");
  EXPECT_EQ(asked[1].target, "/albums/get_all?uid=1001&count=6355&page=2");
  EXPECT_EQ(asked[2].target, "/albums/get_all?uid=1001&count=6355&page=3");
  EXPECT_NE(view->log().find(G("-----获取完毕,共计") + "45" + G("个")), std::string::npos);
}

TEST_F(TodayService, LaterAlbumListPageThatStaysBadKeepsTheRowsAndSaysSo) {
  service().add_user(aftest::user_with_albums("1001", std::vector<int>(45, 2)));
  log_in();
  afsample::Fault fault;
  fault.kind = afsample::FaultKind::ServerError;
  fault.path = "/albums/get_all";
  fault.query_contains = "&page=2";
  service().add_fault(fault);
  af::AlbumListJob job;
  job.endpoints = endpoints();
  job.user_id = "1001";
  job.pacing = af::Pacing::shortened(0);
  aftest::RecordingAlbumListView view;
  EXPECT_EQ(af::load_album_list(job, view), 20);
  const std::string log = view.log();
  const std::size_t failed = log.find(G("相册列表第2页获取失败：服务器回答 HTTP 500"));
  EXPECT_NE(failed, std::string::npos) << af::gbk_to_utf8(log);
  EXPECT_LT(failed, log.find(G("-----获取完毕,共计20个")));
  EXPECT_TRUE(view.messages().empty());
  for (const auto& r : service().requests_to("/albums/get_all"))
    EXPECT_EQ(r.query.find("&page=3"), std::string::npos);
}

TEST_F(TodayService, TwoHundredFiftyPhotosInPagesOfThirtyAndARateLimitOnTheWay) {
  auto user = afsample::make_user("1001", "/u/1001", "T");
  user.albums.push_back(afsample::make_album("55", "A", 250));
  service().add_user(user);
  service().set_list_burst(4);  // a 429 after four quick pages, and again later
  log_in();
  af::AlbumWalk walk;
  walk.endpoints = endpoints();
  walk.user_id = "1001";
  walk.photos = 250;
  walk.album = {"55", "18"};
  walk.pacing = af::Pacing::shortened(0);
  af::WalkFailure failure;
  walk.failure = &failure;
  std::vector<std::string> ids;
  std::vector<std::int64_t> positions;
  EXPECT_TRUE(af::walk_album(walk, [&](const af::PhotoEntry& e, std::int64_t position) {
    ids.push_back(e.photo_id);
    positions.push_back(position);
    return true;
  }));
  EXPECT_EQ(failure.page, 0) << af::gbk_to_utf8(failure.cause);
  ASSERT_EQ(ids.size(), 250u);
  const auto expected = afsample::make_photos("55", 250);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(ids[i], expected[i].photo_id);
    EXPECT_EQ(positions[i], static_cast<std::int64_t>(i + 1));
  }
}

TEST_F(TodayService, RawAnswersWithoutSessionWithAnExpiredOneAndAfterABurst) {
  service().add_user(aftest::user_with_albums("1001", {3}));
  const std::string list = base() + "/albums/get_all?uid=1001&count=6355";
  const aftest::HttpAnswer redirect = aftest::http_get(list);
  EXPECT_EQ(redirect.status, 302);
  EXPECT_TRUE(service().requests().back().header("Cookie").empty());
  const aftest::HttpAnswer visitor = aftest::http_get(base() + "/visitor/visitor?entry=miniblog");
  EXPECT_EQ(visitor.status, 200);
  EXPECT_NE(visitor.body.find("Sina Visitor System"), std::string::npos);
  EXPECT_TRUE(af::is_login_page(visitor.body));

  const std::string expired = std::string("Cookie: ") + afsample::SampleService::kSessionCookie + "=old";
  const aftest::HttpAnswer login = aftest::http_get(list, {expired});
  EXPECT_EQ(login.status, 200);
  EXPECT_TRUE(af::looks_like_html(login.body));

  service().set_list_burst(2);
  const std::string session =
      std::string("Cookie: ") + afsample::SampleService::kSessionCookie + "=" + service().new_session();
  EXPECT_EQ(aftest::http_get(list, {session}).status, 200);
  EXPECT_EQ(aftest::http_get(list, {session}).status, 200);
  const aftest::HttpAnswer limited = aftest::http_get(list, {session});
  if (limited.status != 200) {  // the three came within a second of each other
    EXPECT_EQ(limited.status, 429);
    EXPECT_TRUE(af::is_rate_limited(limited.status, limited.body));
  }
}

}  // namespace
