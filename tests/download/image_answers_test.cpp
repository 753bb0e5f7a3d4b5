// SPDX-License-Identifier: GPL-3.0-or-later
// Image answers that are no picture, hosts that want the service's Referer or limit the
// rate, and answers that stall or trickle: what the download keeps, records and logs, and
// what a later download with the record on fetches.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "download/image_check.h"
#include "download/photo_saver.h"
#include "download/record_store.h"
#include "download_fixture.h"
#include "http/fetch.h"
#include "util/codepage.h"

namespace af::testing {
namespace {

using afsample::ImageFault;

// Every wait and limit divided by 400: a request ends after 300 ms, an album whose images
// keep failing is given up after 750 ms, waits after a rate limit run 5 ms to 150 ms.
constexpr int kShortened = 400;

PhotoEntry entry_of(const afsample::SamplePhoto& photo) {
  PhotoEntry entry;
  entry.photo_id = photo.photo_id;
  entry.feed_id = photo.feed_id;
  return entry;
}

class ImageAnswerTest : public DownloadTest {
 protected:
  DownloaderOptions short_options() {
    DownloaderOptions o = options();
    o.pacing = Pacing::shortened(kShortened);
    return o;
  }

  // A user with one album "A" of `photos` photos, on image hosts that follow `rules`.
  afsample::SampleUser one_album_user(const std::string& uid, int photos, const afsample::ImageRules& rules) {
    auto user = afsample::make_user(uid, "/u/" + uid, "T");
    user.albums.push_back(afsample::make_album(uid + "00000001", "A", photos));
    service().add_user(user);
    service().set_image_rules(rules);
    return user;
  }

  void download(const std::string& uid, const DownloaderOptions& o) {
    Downloader downloader(view_, o);
    ASSERT_TRUE(downloader.start(view_.request(uid, G("T"))));
    ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(120)));
    EXPECT_EQ(downloader.state(), DownloadState::Idle);
  }

  // The photos of `album` whose files are in place; each file must be the served picture,
  // whole, under its name, and nothing else may be in the folder.
  std::set<int> saved_photos(const afsample::SampleAlbum& album, const std::string& folder) {
    std::set<int> saved;
    for (const auto& [name, bytes] : files_under(save_.file(folder))) {
      bool known = false;
      for (std::size_t i = 0; i < album.photos.size(); ++i) {
        if (name != expected_name(album.photos[i], static_cast<int>(i) + 1)) continue;
        known = true;
        EXPECT_TRUE(is_complete_image(bytes)) << name;
        EXPECT_EQ(bytes, service().image_bytes(album.photos[i].pic_name)) << name;
        saved.insert(static_cast<int>(i));
      }
      EXPECT_TRUE(known) << "unexpected file " << name;
    }
    return saved;
  }

  std::set<int> recorded_photos(const std::string& uid, const afsample::SampleAlbum& album) {
    DownloadRecord record;
    EXPECT_TRUE(record.open_record_store(record_store_path(uid)));
    std::set<int> recorded;
    for (std::size_t i = 0; i < album.photos.size(); ++i)
      if (record.is_recorded(album.photos[i].photo_id)) recorded.insert(static_cast<int>(i));
    return recorded;
  }

  // The mended service, and a download with the record on: exactly the missing photos are
  // asked for, once each, and then every photo is in place.
  void rerun_fetches_exactly_the_missing(afsample::SampleUser user, const std::set<int>& saved) {
    auto& album = user.albums[0];
    for (auto& p : album.photos) p.image_fault_times = 0;
    service().reset();
    service().add_user(user);
    view_.clear();
    set_switches(true, false);
    download(user.uid, short_options());
    for (std::size_t i = 0; i < album.photos.size(); ++i)
      EXPECT_EQ(image_requests(album.photos[i]), saved.count(static_cast<int>(i)) ? 0u : 1u) << "photo " << i;
    EXPECT_EQ(saved_photos(album, "T/A" + std::to_string(album.photos.size())).size(), album.photos.size());
  }
};

// ---- the fault table: one photo's image answer, on its first request or on every one ----

struct FaultCase {
  const char* name;
  ImageFault fault;
  int status;
  const char* cause;  // UTF-8; the cause line starts with it
};

const FaultCase kFaults[] = {
    {"Empty", ImageFault::Empty, 0, "服务器回答为空"},
    {"NotJson", ImageFault::Text, 0, "回答不是图片"},
    {"Json", ImageFault::Json, 0, "回答是JSON文本而不是图片"},
    {"LoginPage", ImageFault::LoginPage, 0, "回答是登录页面而不是图片：登录可能已过期，请先在登录页登录"},
    {"RedirectToLogin", ImageFault::LoginRedirect, 0, "回答是登录页面而不是图片"},
    {"Forbidden", ImageFault::Status, 403, "服务器回答 HTTP 403：图片服务器拒绝访问"},
    {"NotFound", ImageFault::Status, 404, "服务器回答 HTTP 404"},
    {"Teapot", ImageFault::Status, 418, "服务器回答 HTTP 418：请求过于频繁"},
    {"TooMany", ImageFault::Status, 429, "服务器回答 HTTP 429：请求过于频繁"},
    {"ServerError", ImageFault::Status, 500, "服务器回答 HTTP 500"},
    {"CutOffMidBody", ImageFault::CutOff, 0, "连接中断，回答不完整"},
    {"CutShortWithItsLength", ImageFault::CutShort, 0, "图片不完整（JPEG数据中途截断）"},
    {"Stall", ImageFault::Stall, 0, "请求超时"},
    {"Trickle", ImageFault::Trickle, 0, "请求超时"},
};

class ImageFaultTable : public ImageAnswerTest,
                        public ::testing::WithParamInterface<std::tuple<FaultCase, bool>> {};

TEST_P(ImageFaultTable, KeepsOnlyWholePicturesLogsTheCauseAndARerunCompletes) {
  const auto& [c, every] = GetParam();
  std::size_t index = 0;
  while (std::string(kFaults[index].name) != c.name) ++index;
  const std::string uid = "77" + std::to_string(index) + (every ? "1" : "0");
  auto user = afsample::make_user(uid, "/u/" + uid, "T");
  auto album = afsample::make_album(uid + "000001", "A", 3);
  auto& faulty = album.photos[1];
  faulty.image_fault = c.fault;
  faulty.image_fault_status = c.status;
  faulty.image_fault_times = every ? -1 : 1;
  // A stall outlasts the 300 ms deadline; a trickle would take seconds for the picture.
  faulty.image_fault_delay = std::chrono::milliseconds(c.fault == ImageFault::Stall ? 1500 : 10);
  user.albums.push_back(album);
  service().add_user(user);
  set_switches(true, false);
  view_.rows = {row_of(1, album)};
  download(uid, short_options());

  const std::set<int> saved = saved_photos(album, "T/A3");
  EXPECT_EQ(recorded_photos(uid, album), saved);
  EXPECT_TRUE(saved.count(0));
  EXPECT_TRUE(saved.count(2));
  if (every) {
    EXPECT_FALSE(saved.count(1));
    const std::string line = failure_line(entry_of(faulty));
    const std::size_t at = view_.log().find(line + G("原因：") + G(c.cause));
    EXPECT_NE(at, std::string::npos) << gbk_to_utf8(view_.log());
  } else {
    // The second request brings the picture.
    EXPECT_TRUE(saved.count(1));
    EXPECT_EQ(view_.log().find(G("失败")), std::string::npos) << gbk_to_utf8(view_.log());
  }
  rerun_fetches_exactly_the_missing(user, saved);
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<FaultCase, bool>>& info) {
  return std::string(std::get<0>(info.param).name) +
         (std::get<1>(info.param) ? "EveryRequest" : "FirstRequest");
}

INSTANTIATE_TEST_SUITE_P(Images, ImageFaultTable,
                         ::testing::Combine(::testing::ValuesIn(kFaults), ::testing::Bool()), case_name);

// ---- image hosts that want the service's Referer, and limit the rate ----

// The image rules of today's service, as set_profile(Today) gives them.
afsample::ImageRules todays_rules() {
  afsample::ImageRules rules;
  rules.want_service_referer = true;
  rules.burst = 40;
  rules.refusals = 2;
  return rules;
}

TEST_F(ImageAnswerTest, TodaysProfileWantsTheRefererAndLimitsTheRate) {
  const auto rules = [&] { return service().image_rules(); };
  EXPECT_FALSE(rules().want_service_referer);
  EXPECT_EQ(rules().burst, 0);
  service().set_profile(afsample::ServiceProfile::Today);
  EXPECT_TRUE(rules().want_service_referer);
  EXPECT_EQ(rules().burst, todays_rules().burst);
  EXPECT_EQ(rules().refusals, todays_rules().refusals);
  EXPECT_EQ(rules().retry_after_seconds, todays_rules().retry_after_seconds);
  service().set_profile(afsample::ServiceProfile::Classic);
  EXPECT_FALSE(rules().want_service_referer);
}

TEST_F(ImageAnswerTest, SampleHostsAskForAPageOfTheServiceAsReferer) {
  afsample::ImageRules rules;
  rules.want_service_referer = true;
  const auto user = one_album_user("7801", 1, rules);
  const std::string address = base() + "/large/" + user.albums[0].photos[0].pic_name;
  const struct {
    const char* referer;
    int status;
  } cases[] = {
      {nullptr, 403},
      {"https://weibo.com/", 200},
      {"http://weibo.com/u/7801", 200},
      {"https://photo.weibo.com/albums", 200},
      {"https://weibo.com:443/x", 200},
      {"https://notweibo.com/", 403},
      {"https://weibo.com.example/", 403},
  };
  for (const auto& c : cases) {
    std::vector<std::string> headers;
    if (c.referer) headers.push_back(std::string("Referer: ") + c.referer);
    EXPECT_EQ(aftest::http_get(address, headers).status, c.status) << (c.referer ? c.referer : "none");
  }
}

TEST_F(ImageAnswerTest, SampleHostsRefuseAfterEveryBurstWithRetryAfter) {
  afsample::ImageRules rules;
  rules.burst = 2;
  rules.refusals = 1;
  rules.limit_status = 418;
  rules.retry_after_seconds = 3;
  const auto user = one_album_user("7802", 1, rules);
  std::vector<int> statuses;
  std::string limited_headers;
  for (int i = 0; i < 6; ++i) {
    const Response response = fetch_page_timed(base() + "/large/" + user.albums[0].photos[0].pic_name);
    statuses.push_back(response.status);
    if (response.status == 418) limited_headers = response.headers;
  }
  EXPECT_EQ(statuses, (std::vector<int>{200, 200, 418, 200, 200, 418}));
  EXPECT_EQ(response_header(limited_headers, "Retry-After"), "3");
}

TEST_F(ImageAnswerTest, ImagesThatWantTheServiceRefererAreAskedOnceMoreWithIt) {
  auto user = afsample::make_user("7803", "/u/7803", "T");
  auto album = afsample::make_album("780300000001", "A", 45, 5);
  for (std::size_t i = 0; i < album.photos.size(); ++i) album.photos[i].image_size = 600 + 97 * i;
  user.albums.push_back(album);
  service().add_user(user);
  service().set_image_rules(todays_rules());
  set_switches(true, false);
  view_.rows = {row_of(1, album)};
  download("7803", short_options());

  EXPECT_EQ(saved_photos(album, "T/A45").size(), 45u);
  EXPECT_EQ(recorded_photos("7803", album).size(), 45u);
  EXPECT_EQ(view_.log().find(G("失败")), std::string::npos) << gbk_to_utf8(view_.log());
  std::size_t limited = 0;
  for (const auto& photo : album.photos) {
    const auto requests = service().requests_to("/large/" + photo.pic_name);
    ASSERT_GE(requests.size(), 2u);
    // The first request as the transport always sends it, the image's own address as its
    // Referer; the next one the same but for the Referer.
    const std::string address = base() + "/large/" + photo.pic_name;
    EXPECT_EQ(requests[0].header("Referer"), address);
    for (std::size_t i = 1; i < requests.size(); ++i) {
      EXPECT_EQ(requests[i].target, requests[0].target);
      EXPECT_EQ(requests[i].header("Referer"), "https://weibo.com/");
      auto first = requests[0].headers;
      auto later = requests[i].headers;
      ASSERT_EQ(first.size(), later.size());
      for (std::size_t h = 0; h < first.size(); ++h) {
        EXPECT_EQ(first[h].first, later[h].first);
        if (first[h].first != "Referer") {
          EXPECT_EQ(first[h].second, later[h].second) << first[h].first;
        }
      }
    }
    limited += requests.size() - 2;
  }
  // The refusals without the Referer do not count towards the burst: 45 pictures, and
  // after the 40th two refusals that were waited out.
  EXPECT_EQ(limited, 2u);
}

// ---- an album whose images keep failing ----

class GivingUp : public ImageAnswerTest, public ::testing::WithParamInterface<ImageFault> {};

TEST_P(GivingUp, TheAlbumIsGivenUpTheNextOneRunsAndARerunFetchesTheRest) {
  const std::string uid = GetParam() == ImageFault::Stall ? "7811" : "7812";
  auto user = afsample::make_user(uid, "/u/" + uid, "T");
  auto failing = afsample::make_album(uid + "000001", "A", 8);
  for (auto& p : failing.photos) {
    p.image_fault = GetParam();
    p.image_fault_status = 500;
    p.image_fault_times = -1;
    p.image_fault_delay = std::chrono::milliseconds(1500);
  }
  const auto healthy = afsample::make_album(uid + "000002", "B", 2);
  user.albums = {failing, healthy};
  service().add_user(user);
  set_switches(true, false);
  view_.rows = {row_of(1, failing), row_of(2, healthy)};
  download(uid, short_options());

  EXPECT_TRUE(saved_photos(failing, "T/A8").empty());
  EXPECT_EQ(saved_photos(healthy, "T/B2").size(), 2u);
  EXPECT_TRUE(recorded_photos(uid, failing).empty());
  const std::string log = view_.log();
  EXPECT_NE(log.find(album_given_up_line(G("A"))), std::string::npos) << gbk_to_utf8(log);
  // Nothing more of the album is asked for once it was given up.
  EXPECT_GE(image_requests(failing.photos[0]), 1u);
  EXPECT_EQ(image_requests(failing.photos[7]), 0u);
  EXPECT_NE(log.find(G("准备下载相册《B》")), std::string::npos);
  // The given-up album is not said to be complete; the next one is.
  EXPECT_EQ(log.find(G("---完成相册《A8》下载")), std::string::npos) << gbk_to_utf8(log);
  EXPECT_NE(log.find(G("---完成相册《B2》下载")), std::string::npos) << gbk_to_utf8(log);

  // The mended service: exactly the eight photos of the first album are fetched.
  for (auto& p : user.albums[0].photos) p.image_fault_times = 0;
  service().reset();
  service().add_user(user);
  view_.clear();
  download(uid, short_options());
  EXPECT_EQ(all_image_requests(), 8u);
  EXPECT_EQ(saved_photos(failing, "T/A8").size(), 8u);
}

INSTANTIATE_TEST_SUITE_P(Images, GivingUp, ::testing::Values(ImageFault::Status, ImageFault::Stall),
                         [](const auto& info) {
                           return std::string(info.param == ImageFault::Stall ? "Stalls" : "ServerErrors");
                         });

// An end during the wait that a rate limit asked for acts at once.
TEST_F(ImageAnswerTest, EndDuringARateLimitWait) {
  afsample::ImageRules rules;
  rules.burst = 1;
  rules.refusals = 1000;
  rules.retry_after_seconds = 60;
  const auto user = one_album_user("7821", 3, rules);
  view_.rows = {row_of(1, user.albums[0])};
  DownloaderOptions o = options();
  o.pacing = Pacing();  // the real waits: 60 s after the Retry-After
  Downloader downloader(view_, o);
  ASSERT_TRUE(downloader.start(view_.request("7821", G("T"))));
  const auto& photos = user.albums[0].photos;
  // The refusal is answered: the worker is in its wait, or about to be.
  ASSERT_TRUE(eventually([&] { return image_requests(photos[1]) == 1 && service().in_flight() == 0; }));
  downloader.end_download();
  ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(8)));
  EXPECT_EQ(image_requests(photos[1]), 1u);
  EXPECT_EQ(image_requests(photos[2]), 0u);
  EXPECT_EQ(files_under(save_.path()).size(), 1u);
  EXPECT_EQ(view_.log().find(G("失败")), std::string::npos);
}

}  // namespace
}  // namespace af::testing
