// SPDX-License-Identifier: GPL-3.0-or-later
// The sample photo service itself: answer shapes, images, login, faults and the request
// record, checked with a client independent of the program's transports.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <set>
#include <thread>

#include "sample_images.h"
#include "support/bounded_wait.h"
#include "support/sample_service_env.h"

namespace {

using afsample::Fault;
using afsample::FaultKind;
using aftest::http_get;

class SampleServiceShapes : public aftest::SampleServiceTest {};

TEST_F(SampleServiceShapes, HomePageCarriesTheIdMarkerAndTitle) {
  service().add_user(afsample::make_user("1642591402", "/u/1642591402", "Sina \xE6\x96\xB0"));
  service().add_user(
      afsample::make_user("2000000002", "/someone", "", afsample::IdMarker::EmptyOidThenOwnerUid));
  service().add_user(afsample::make_user("3000000003", "/third", "T", afsample::IdMarker::OwnerUid));

  auto first = http_get(base() + "/u/1642591402");
  EXPECT_EQ(first.status, 200);
  EXPECT_NE(first.body.find("$CONFIG['oid']='1642591402'"), std::string::npos);
  EXPECT_NE(first.body.find("<title>Sina \xE6\x96\xB0</title>"), std::string::npos);

  auto second = http_get(base() + "/someone");
  EXPECT_NE(second.body.find("$CONFIG['oid']='';"), std::string::npos);
  EXPECT_NE(second.body.find("owner_uid: 2000000002,"), std::string::npos);
  EXPECT_EQ(second.body.find("<title>"), std::string::npos);

  auto third = http_get(base() + "/third");
  EXPECT_EQ(third.body.find("$CONFIG['oid']"), std::string::npos);
  EXPECT_NE(third.body.find("owner_uid: 3000000003,"), std::string::npos);

  EXPECT_EQ(http_get(base() + "/nobody").status, 404);
}

// Lower bounds only: a slow machine makes the answers later, never earlier.
TEST_F(SampleServiceShapes, TheLinksLatencyAndBandwidthHoldTheAnswersBack) {
  auto user = afsample::make_user("1009", "/u/1009", "T");
  auto album = afsample::make_album("3558936309000001", "A", 2);
  album.photos[0].image_size = 200 * 1024;
  user.albums.push_back(album);
  service().add_user(user);
  const std::string image = base() + "/large/" + album.photos[0].pic_name;
  const auto timed = [&] {
    const auto start = std::chrono::steady_clock::now();
    const auto answer = http_get(image);
    EXPECT_EQ(answer.body, service().image_bytes(album.photos[0].pic_name));
    return std::chrono::steady_clock::now() - start;
  };
  service().set_link(std::chrono::milliseconds(300));
  EXPECT_GE(timed(), std::chrono::milliseconds(300));
  // 200 KiB through 1 MiB a second: about 200 ms, whatever the latency.
  service().set_link(std::chrono::milliseconds(0), 1024 * 1024);
  EXPECT_GE(timed(), std::chrono::milliseconds(180));
  service().reset();
  service().add_user(user);
  EXPECT_EQ(http_get(image).status, 200);
}

TEST_F(SampleServiceShapes, AlbumListHasTheRealShape) {
  auto user = afsample::make_user("1001", "/u/1001", "T");
  auto a = afsample::make_album("3558936301234567", "\xE6\x97\x85\xE8\xA1\x8C", 12);  // 旅行
  auto b = afsample::make_album("3558936301234568", "\xE5\xAE\xB6", 0);
  b.caption_form = afsample::CaptionForm::RawUtf8;
  b.type_json = "3";
  b.count_json = "{\"photos\":\"0\"}";
  user.albums = {a, b};
  service().add_user(user);

  auto answer = http_get(base() + "/albums/get_all?uid=1001&count=6355");
  ASSERT_EQ(answer.status, 200);
  const std::string host = service().host();
  EXPECT_EQ(
      answer.body.rfind("{\"result\":true,\"data\":{\"album_list\":[{\"album_id\":\"3558936301234567\"", 0),
      0u);
  EXPECT_NE(answer.body.find("\"caption\":\"\\u65c5\\u884c\""), std::string::npos);
  EXPECT_NE(
      answer.body.find("\"cover_pic\":\"http:\\/\\/" + host + "\\/large\\/cover_3558936301234567.jpg\""),
      std::string::npos);
  EXPECT_NE(answer.body.find("\"type\":\"18\""), std::string::npos);
  EXPECT_NE(answer.body.find("\"count\":{\"photos\":12,"), std::string::npos);
  EXPECT_NE(answer.body.find("\"caption\":\"\xE5\xAE\xB6\""), std::string::npos);
  EXPECT_NE(answer.body.find("\"type\":3,"), std::string::npos);
  EXPECT_NE(answer.body.find("\"count\":{\"photos\":\"0\"}"), std::string::npos);
  EXPECT_NE(answer.body.find("\"total\":2}"), std::string::npos);

  auto nobody = http_get(base() + "/albums/get_all?uid=&count=6355");
  EXPECT_EQ(nobody.body.find("album_list"), std::string::npos);
}

TEST_F(SampleServiceShapes, PhotoListPagesAndShortPages) {
  auto user = afsample::make_user("1001", "/u/1001", "T");
  auto album = afsample::make_album("3558936301234567", "A", 75, 10);
  album.page_size = 30;
  user.albums = {album};
  service().add_user(user);

  auto page = [&](int n) {
    return http_get(base() + "/photos/get_all?uid=1001&album_id=3558936301234567&count=100&page=" +
                    std::to_string(n) + "&type=18&__rnd=0.123456789012345")
        .body;
  };
  auto count_items = [](const std::string& body) {
    std::size_t n = 0;
    for (std::size_t at = body.find("\"photo_id\""); at != std::string::npos;
         at = body.find("\"photo_id\"", at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count_items(page(1)), 30u);
  EXPECT_EQ(count_items(page(2)), 30u);
  EXPECT_EQ(count_items(page(3)), 15u);
  EXPECT_EQ(count_items(page(4)), 0u);
  const std::string first = page(1);
  EXPECT_NE(first.find("\"pic_host\":\"http:\\/\\/" + service().host() + "\""), std::string::npos);
  EXPECT_NE(first.find("\"timestamp\":1365003600,"), std::string::npos);
  EXPECT_NE(first.find(".gif\""), std::string::npos);
  EXPECT_NE(first.find("\"photo_list\":[{\"photo_id\":\""), std::string::npos);
}

TEST_F(SampleServiceShapes, PastTheEndRepeatsTheLastPageWhenAsked) {
  auto user = afsample::make_user("1001", "/u/1001", "T");
  auto album = afsample::make_album("77", "A", 130);
  album.past_end = afsample::PastEnd::RepeatLast;
  user.albums = {album};
  service().add_user(user);
  auto page = [&](int n) {
    return http_get(base() + "/photos/get_all?uid=1001&album_id=77&count=100&page=" + std::to_string(n) +
                    "&type=18&__rnd=0.1")
        .body;
  };
  EXPECT_EQ(page(2), page(3));
  EXPECT_NE(page(1), page(2));
}

TEST_F(SampleServiceShapes, ImagesAreDistinctWellFormedAndSized) {
  auto user = afsample::make_user("1001", "/u/1001", "T");
  auto album = afsample::make_album("55", "A", 4, 2);
  album.photos[0].image_size = 100 * 1024;
  album.photos[1].image_size = 70000;  // a GIF
  user.albums = {album};
  service().add_user(user);

  std::set<std::string> seen;
  for (const auto& p : album.photos) {
    auto answer = http_get(base() + "/large/" + p.pic_name);
    ASSERT_EQ(answer.status, 200) << p.pic_name;
    const bool gif = p.pic_name.find(".gif") != std::string::npos;
    EXPECT_EQ(answer.content_type, gif ? "image/gif" : "image/jpeg");
    EXPECT_TRUE(gif ? aftest::is_wellformed_gif(answer.body) : aftest::is_wellformed_jpeg(answer.body))
        << p.pic_name;
    EXPECT_NE(answer.body.find(p.photo_id), std::string::npos);
    seen.insert(answer.body);
    if (p.image_size) {
      EXPECT_EQ(answer.body.size(), p.image_size);
    }
  }
  EXPECT_EQ(seen.size(), album.photos.size());
  EXPECT_TRUE(aftest::is_wellformed_jpeg(http_get(base() + "/large/cover_55.jpg").body));
  EXPECT_EQ(http_get(base() + "/large/unknown.jpg").status, 404);
}

TEST(SampleImages, SizesAreExactForJpegAndCloseForGif) {
  for (std::size_t size : {0u, 700u, 705u, 1000u, 65600u, 65541u, 131100u}) {
    const std::string jpeg = afsample::make_jpeg("x", size);
    EXPECT_TRUE(aftest::is_wellformed_jpeg(jpeg)) << size;
    if (size > 720) {
      EXPECT_EQ(jpeg.size(), size);
    }
    const std::string gif = afsample::make_gif("x", size);
    EXPECT_TRUE(aftest::is_wellformed_gif(gif)) << size;
    if (size > 200) {
      EXPECT_LE(gif.size(), size);
      EXPECT_GE(gif.size() + 2, size);
    }
  }
}

TEST_F(SampleServiceShapes, ImageFaultsPerPhoto) {
  auto user = afsample::make_user("1001", "/u/1001", "T");
  auto album = afsample::make_album("55", "A", 2);
  album.photos[0].image_fault_status = 404;
  album.photos[0].image_fault_times = 1;
  album.photos[1].image_fault_status = 500;
  album.photos[1].image_fault_times = -1;
  user.albums = {album};
  service().add_user(user);
  EXPECT_EQ(http_get(base() + "/large/" + album.photos[0].pic_name).status, 404);
  EXPECT_EQ(http_get(base() + "/large/" + album.photos[0].pic_name).status, 200);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(http_get(base() + "/large/" + album.photos[1].pic_name).status, 500);
}

TEST_F(SampleServiceShapes, LoginSetsAnHttpOnlySessionThatUnlocksAlbums) {
  auto user = afsample::make_user("1001", "/u/1001", "T");
  auto open = afsample::make_album("1", "Open", 3);
  auto locked = afsample::make_album("2", "Locked", 3);
  locked.requires_login = true;
  user.albums = {open, locked};
  service().add_user(user);

  EXPECT_NE(http_get(base() + "/login").body.find("<form id=\"login_form\" method=\"post\""),
            std::string::npos);
  auto wrong = aftest::http_post_form(base() + "/login", "username=demo&password=nope");
  EXPECT_TRUE(wrong.set_cookie.empty());
  auto right = aftest::http_post_form(base() + "/login", "username=demo&password=demo");
  ASSERT_FALSE(right.set_cookie.empty());
  EXPECT_EQ(right.set_cookie.rfind("SUB=", 0), 0u);
  EXPECT_NE(right.set_cookie.find("HttpOnly"), std::string::npos);
  // Kept for a year, as the real service's login (the browser's keeping it: login_albums_test).
  EXPECT_NE(right.set_cookie.find("; Max-Age=31536000;"), std::string::npos) << right.set_cookie;
  const std::string cookie = right.set_cookie.substr(0, right.set_cookie.find(';'));

  const std::string list = base() + "/albums/get_all?uid=1001&count=6355";
  EXPECT_EQ(http_get(list).body.find("\"album_id\":\"2\""), std::string::npos);
  EXPECT_NE(http_get(list, {"Cookie: a=b; " + cookie}).body.find("\"album_id\":\"2\""), std::string::npos);
  const std::string photos =
      base() + "/photos/get_all?uid=1001&album_id=2&count=100&page=1&type=18&__rnd=0.1";
  EXPECT_EQ(http_get(photos).body.find("photo_list"), std::string::npos);
  EXPECT_NE(http_get(photos, {"Cookie: " + cookie}).body.find("photo_list"), std::string::npos);
  EXPECT_NE(http_get(list, {"Cookie: SUB=" + service().new_session()}).body.find("\"album_id\":\"2\""),
            std::string::npos);

  // A service started again (the demo's next start) knows the login until a logout.
  afsample::SampleService again;
  again.add_user(user);
  const std::string list_again = again.base_url() + "/albums/get_all?uid=1001&count=6355";
  EXPECT_NE(http_get(list_again, {"Cookie: " + cookie}).body.find("\"album_id\":\"2\""), std::string::npos);
  http_get(again.base_url() + "/logout");
  EXPECT_EQ(http_get(list_again, {"Cookie: " + cookie}).body.find("\"album_id\":\"2\""), std::string::npos);
}

struct FaultCase {
  const char* name;
  FaultKind kind;
  int status;
  bool body_is_list;
};

class SampleServiceFaults : public aftest::SampleServiceTest,
                            public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SampleServiceFaults, AnswerTwiceThenRecover) {
  const FaultCase c = GetParam();
  service().add_user(aftest::user_with_albums("1001", {5}));
  Fault fault;
  fault.kind = c.kind;
  fault.path = "/albums/get_all";
  fault.times = 2;
  fault.location = base() + "/login";
  service().add_fault(fault);
  const std::string url = base() + "/albums/get_all?uid=1001&count=6355";
  for (int i = 0; i < 2; ++i) {
    auto answer = http_get(url);
    EXPECT_EQ(answer.status, c.status) << c.name;
    EXPECT_EQ(answer.body.find("album_list\":["), std::string::npos) << c.name;
  }
  auto after = http_get(url);
  EXPECT_EQ(after.status, 200);
  EXPECT_NE(after.body.find("album_list\":["), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SampleServiceFaults,
                         ::testing::Values(FaultCase{"empty", FaultKind::Empty, 200, false},
                                           FaultCase{"notjson", FaultKind::NotJson, 200, false},
                                           FaultCase{"html", FaultKind::Html, 200, false},
                                           FaultCase{"302", FaultKind::Redirect, 302, false},
                                           FaultCase{"404", FaultKind::NotFound, 404, false},
                                           FaultCase{"500", FaultKind::ServerError, 500, false},
                                           FaultCase{"drop", FaultKind::Drop, 0, false},
                                           FaultCase{"login_json", FaultKind::LoginJson, 200, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A banned machine: every photo list answers 418 with a long Retry-After, the rest as today.
TEST_F(SampleServiceShapes, BadDayBansThePhotoListsOnly) {
  service().set_profile(afsample::ServiceProfile::BadDay);
  service().add_user(aftest::user_with_albums("1001", {5}));
  const std::string session = "Cookie: SUB=" + service().new_session();
  const auto list = http_get(base() + "/photos/get_all?uid=1001&album_id=1&count=100&page=1&type=&__rnd=0.1",
                             {session});
  EXPECT_EQ(list.status, 418);
  EXPECT_NE(list.body.find("访问频繁"), std::string::npos);
  EXPECT_EQ(http_get(base() + "/albums/get_all?uid=1001&count=6355", {session}).status, 200);
  EXPECT_EQ(http_get(base() + "/ajax/profile/info?uid=1001").body.find("{\"ok\":-100,"), 0u);
  EXPECT_EQ(afsample::profile_named("bad-day"), afsample::ServiceProfile::BadDay);
  EXPECT_FALSE(afsample::profile_named("Today"));
}

TEST_F(SampleServiceShapes, SlowAnswerAndQueryFilteredFault) {
  auto user = aftest::user_with_albums("1001", {150});
  service().add_user(user);
  Fault slow;
  slow.kind = FaultKind::Slow;
  slow.path = "/photos/get_all";
  slow.query_contains = "&page=2&";
  slow.times = 1;
  slow.delay = std::chrono::milliseconds(300);
  service().add_fault(slow);
  const std::string stem = base() + "/photos/get_all?uid=1001&album_id=10010001&count=100&page=";
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_NE(http_get(stem + "1&type=18&__rnd=0.1").body.find("photo_list"), std::string::npos);
  const auto t1 = std::chrono::steady_clock::now();
  EXPECT_NE(http_get(stem + "2&type=18&__rnd=0.1").body.find("photo_list"), std::string::npos);
  const auto t2 = std::chrono::steady_clock::now();
  EXPECT_GE(t2 - t1, std::chrono::milliseconds(300));  // a lower bound: the answer waited
  (void)t0;
}

// A held answer ends at a reset, so that none outlasts the test that held it.
TEST_F(SampleServiceShapes, AResetEndsAnAnswerHeldBack) {
  auto user = aftest::user_with_albums("1001", {1});
  service().add_user(user);
  Fault held;
  held.kind = FaultKind::Slow;
  held.path = "/large/" + user.albums[0].photos[0].pic_name;
  held.delay = std::chrono::minutes(10);
  service().add_fault(held);
  auto answer = std::async(std::launch::async, [&] { return http_get(base() + held.path); });
  ASSERT_TRUE(aftest::eventually([&] { return service().in_flight() == 1; })) << "the answer held";
  service().reset();
  EXPECT_EQ(answer.wait_for(aftest::kEventBound), std::future_status::ready) << "the held answer's end";
  EXPECT_TRUE(aftest::eventually([&] { return service().in_flight() == 0; }));
}

TEST_F(SampleServiceShapes, RecordsEveryRequestByteForByte) {
  service().add_user(aftest::user_with_albums("1001", {1}));
  const std::string target = "/photos/get_all?uid=1001&album_id=10010001&count=100&page=1&type=&__rnd=0.5";
  http_get(base() + target, {"X-Test: yes"});
  auto recorded = service().requests_to("/photos/get_all");
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].target, target);
  EXPECT_EQ(recorded[0].query, target.substr(target.find('?') + 1));
  EXPECT_EQ(recorded[0].method, "GET");
  EXPECT_EQ(recorded[0].header("x-test"), "yes");
  service().clear_requests();
  EXPECT_TRUE(service().requests().empty());
}

TEST(SampleJson, EscapesLikeTheService) {
  EXPECT_EQ(afsample::json_string("a/b\"c"), "\"a\\/b\\\"c\"");
  EXPECT_EQ(afsample::json_string("\xE6\x97\x85"), "\"\\u65c5\"");
  EXPECT_EQ(afsample::json_string("\xF0\x9F\x98\x80"), "\"\\ud83d\\ude00\"");
  EXPECT_EQ(afsample::json_string("\xE6\x97\x85", true), "\"\xE6\x97\x85\"");
}

}  // namespace
