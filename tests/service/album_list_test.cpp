// SPDX-License-Identifier: GPL-3.0-or-later
// The album list job against the sample service: rows, labels, progress, the empty-list
// box, covers, the cover request, the command front part and the pacing.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "core/gate.h"
#include "http/cookie_store.h"
#include "http/fetch.h"
#include "service/album_list.h"
#include "support/album_list_recorder.h"
#include "support/bounded_wait.h"
#include "support/sample_service_env.h"
#include "util/codepage.h"

namespace {

using af::G;
using aftest::RecordingAlbumListView;

// What the list adds to the log when no login cookie of the service is held.
const std::string kSignedOutNote =
    G("当前没有登录微博，只列出了公开的相册：要列出登录后才能看到的相册，请先在“登录”页登录微博，再重新获取\r\n");

class AlbumListService : public aftest::SampleServiceTest {
 protected:
  af::AlbumListJob job(const std::string& uid) {
    af::AlbumListJob j;
    j.endpoints = endpoints();
    j.user_id = uid;
    j.pacing = af::Pacing::shortened(0);
    return j;
  }
};

TEST(AlbumListAddress, ByteForByte) {
  EXPECT_EQ(af::album_list_address(af::ServiceEndpoints{}, "1642591402"),
            "http://photo.weibo.com/albums/get_all?uid=1642591402&count=6355");
  EXPECT_EQ(af::album_list_address(af::ServiceEndpoints{}, ""), "http://photo.weibo.com/albums/get_all?uid=&count=6355");
}

TEST_F(AlbumListService, CountsFiveZeroSevenGiveTwoRows) {
  service().add_user(aftest::user_with_albums("1001", {5, 0, 7}));
  RecordingAlbumListView view;
  EXPECT_EQ(af::load_album_list(job("1001"), view), 2);

  const auto rows = view.rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].serial, 1);
  EXPECT_EQ(rows[0].caption, "Album 1");
  EXPECT_EQ(rows[0].photos.text, "5");
  EXPECT_EQ(rows[0].album, (af::AlbumRef{"10010001", "18"}));
  EXPECT_FALSE(rows[0].cover.has_value());
  EXPECT_EQ(rows[1].serial, 2);
  EXPECT_EQ(rows[1].caption, "Album 3");
  EXPECT_EQ(rows[1].photos.text, "7");
  EXPECT_EQ(rows[1].album, (af::AlbumRef{"10010003", "18"}));

  EXPECT_EQ(view.status(), G("相册列表获取完毕,共计") + "2" + G("个"));
  EXPECT_EQ(view.log(), kSignedOutNote + G("-----获取完毕,共计") + "2" + G("个") + "\r\n\r\n");
  EXPECT_EQ(view.progress_labels(), (std::vector<std::string>{"33%", "66%", "100%"}));
  EXPECT_EQ(view.progress_maximum(), 3);
  EXPECT_EQ(view.progress_position(), 3);
  EXPECT_FALSE(view.canvas_shown());
  EXPECT_TRUE(view.messages().empty());

  // The request, as the service saw it.
  const auto recorded = service().requests_to("/albums/get_all");
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].target, "/albums/get_all?uid=1001&count=6355");

  // The events in order: the start, its status, the progress before each album (its row
  // after it), the end before the totals.
  EXPECT_EQ(view.calls(),
            (std::vector<std::string>{"list_started", "status", "list_progress", "covers_wanted",
                                      "album_found", "list_progress", "list_progress", "covers_wanted",
                                      "album_found", "list_ended", "log", "status", "log"}));
}

struct MemberCase {
  const char* name;
  const char* count_json;  // "" leaves the member out
  const char* type_json;
  const char* album_id;
  bool row;
  const char* photos;
  const char* id_and_type;
};

class AlbumMembers : public AlbumListService, public ::testing::WithParamInterface<MemberCase> {};

TEST_P(AlbumMembers, ReadAsText) {
  const MemberCase c = GetParam();
  auto user = afsample::make_user("1001", "/u/1001", "T");
  auto album = afsample::make_album(c.album_id, "A", 4);
  album.count_json = c.count_json;
  album.type_json = c.type_json;
  user.albums = {album};
  service().add_user(user);
  RecordingAlbumListView view;
  af::load_album_list(job("1001"), view);
  const auto rows = view.rows();
  if (!c.row) {
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(view.status(), G("相册列表获取完毕,共计") + "0" + G("个"));
    EXPECT_EQ(view.progress_labels(), (std::vector<std::string>{"100%"}));
    return;
  }
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].photos.text, c.photos);
  EXPECT_EQ(af::album_ref_text(rows[0].album), c.id_and_type);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AlbumMembers,
    ::testing::Values(
        MemberCase{"zero_string", "{\"photos\":\"0\"}", "\"18\"", "5", false, "", ""},
        MemberCase{"zero_number", "{\"photos\":0}", "18", "5", false, "", ""},
        MemberCase{"id_123_type_3", "{\"photos\":4}", "3", "123", true, "4", "123@@3"},
        MemberCase{"type_string", "{\"photos\":\"4\"}", "\"3\"", "123", true, "4", "123@@3"},
        MemberCase{"no_count", "", "\"18\"", "9", true, "null", "9@@18"},
        MemberCase{"no_photos", "{\"likes\":1}", "\"18\"", "9", true, "null", "9@@18"},
        MemberCase{"no_type", "{\"photos\":4}", "", "9", true, "4", "9@@null"},
        MemberCase{"long_id", "{\"photos\":12}", "\"18\"", "3558936301234567", true, "12", "3558936301234567@@18"}),
    [](const auto& info) { return std::string(info.param.name); });

// Escaped or raw, a caption reads the same: GBK, and four-byte GB18030 for what GBK lacks.
TEST_F(AlbumListService, CaptionsEscapedAndRawUtf8ReadAlike) {
  const std::string captions[] = {"旅行/a", "家人", "猫🐱고양이𠮷"};
  auto user = afsample::make_user("1001", "/u/1001", "T");
  for (const std::string& caption : captions)
    for (auto form : {afsample::CaptionForm::Escaped, afsample::CaptionForm::RawUtf8}) {
      user.albums.push_back(afsample::make_album(std::to_string(user.albums.size() + 1), caption, 2));
      user.albums.back().caption_form = form;
    }
  service().add_user(user);
  RecordingAlbumListView view;
  af::load_album_list(job("1001"), view);
  const auto rows = view.rows();
  ASSERT_EQ(rows.size(), user.albums.size());
  for (std::size_t i = 0; i < rows.size(); ++i)
    EXPECT_EQ(rows[i].caption, af::utf8_to_gb18030(user.albums[i].caption)) << i;
}

TEST_F(AlbumListService, UsableListWithoutAlbumsShowsTheCountZeroBox) {
  service().add_user(afsample::make_user("1002", "/u/1002", "Empty"));
  RecordingAlbumListView view;
  EXPECT_EQ(af::load_album_list(job("1002"), view), 0);
  const auto messages = view.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, G("获取到相册个数为：0"));
  EXPECT_EQ(messages[0].caption, G("温馨提示"));
  EXPECT_TRUE(view.rows().empty());
  EXPECT_EQ(view.status(), G("相册获取中，耐心等待..."));
  EXPECT_TRUE(view.canvas_shown());
  EXPECT_EQ(view.log(), kSignedOutNote);
  EXPECT_TRUE(view.progress_labels().empty());
}

TEST_F(AlbumListService, OnlyLockedAlbumsShowTheBoxWithoutLogin) {
  auto user = aftest::user_with_albums("1001", {3});
  user.albums[0].requires_login = true;
  service().add_user(user);
  RecordingAlbumListView view;
  af::load_album_list(job("1001"), view);
  ASSERT_EQ(view.messages().size(), 1u);
  EXPECT_EQ(view.log(), kSignedOutNote);

  // Signed in: the locked album is listed and nothing is added to the log; a login
  // cookie of another host does not count.
  for (const bool ours : {false, true}) {
    af::CookieStore::instance().clear();
    af::Cookie login;
    login.domain = ours ? "127.0.0.1" : "weibo.com";
    login.name = "SUB";
    login.value = service().new_session();
    af::CookieStore::instance().set_cookie(login);
    RecordingAlbumListView signed_in;
    EXPECT_EQ(af::load_album_list(job("1001"), signed_in), ours ? 1 : 0);
    EXPECT_EQ(signed_in.log().find(kSignedOutNote) == std::string::npos, ours);
  }
  af::CookieStore::instance().clear();
}

TEST_F(AlbumListService, CoversFetchedPlaceholderForEmptyAndFailedCovers) {
  auto user = afsample::make_user("1001", "/u/1001", "T");
  auto fetched = afsample::make_album("11", "Fetched", 2);
  auto empty = afsample::make_album("12", "Empty", 2);
  empty.cover_pic = "";
  auto missing = afsample::make_album("13", "Missing", 2);
  auto broken = afsample::make_album("14", "Broken", 2);
  auto after = afsample::make_album("15", "After", 2);
  user.albums = {fetched, empty, missing, broken, after};
  service().add_user(user);
  afsample::Fault not_found;
  not_found.kind = afsample::FaultKind::NotFound;
  not_found.path = "/large/cover_13.jpg";
  service().add_fault(not_found);
  afsample::Fault html;
  html.kind = afsample::FaultKind::Html;
  html.path = "/large/cover_14.jpg";
  service().add_fault(html);

  RecordingAlbumListView view;
  view.set_covers_wanted(true);
  af::load_album_list(job("1001"), view);
  const auto rows = view.rows();
  ASSERT_EQ(rows.size(), 5u);
  for (const auto& row : rows) ASSERT_TRUE(row.cover.has_value()) << row.caption;
  EXPECT_EQ(*rows[0].cover, service().image_bytes("cover_11.jpg"));
  EXPECT_FALSE(rows[0].cover_is_placeholder);
  EXPECT_EQ(*rows[1].cover, af::placeholder_cover());
  EXPECT_TRUE(rows[1].cover_is_placeholder);
  // A cover that fails shows the placeholder, not the previous album's cover.
  EXPECT_EQ(*rows[2].cover, af::placeholder_cover());
  EXPECT_TRUE(rows[2].cover_is_placeholder);
  EXPECT_EQ(*rows[3].cover, af::placeholder_cover());
  EXPECT_EQ(*rows[4].cover, service().image_bytes("cover_15.jpg"));
  // No request for the empty address.
  EXPECT_EQ(service().requests_to("/large/cover_12.jpg").size(), 0u);
}

TEST_F(AlbumListService, ACoverRefusedWithoutTheServicesRefererIsAskedOnceMoreWithIt) {
  auto user = afsample::make_user("1001", "/u/1001", "T");
  user.albums = {afsample::make_album("11", "Fetched", 2)};
  service().add_user(user);
  afsample::ImageRules rules;
  rules.want_service_referer = true;
  service().set_image_rules(rules);

  RecordingAlbumListView view;
  view.set_covers_wanted(true);
  af::load_album_list(job("1001"), view);
  const auto rows = view.rows();
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_TRUE(rows[0].cover.has_value());
  EXPECT_EQ(*rows[0].cover, service().image_bytes("cover_11.jpg"));
  EXPECT_FALSE(rows[0].cover_is_placeholder);
  // The first request is as it always was; only the second carries the Referer.
  const auto requests = service().requests_to("/large/cover_11.jpg");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(requests[0].has_header("Referer"));
  EXPECT_EQ(requests[1].header("Referer"), "https://weibo.com/");
  EXPECT_EQ(requests[1].header("Accept"), "*/*");
}

TEST_F(AlbumListService, CoverTickIsReadForEveryAlbum) {
  service().add_user(aftest::user_with_albums("1001", {1, 1}));
  struct Toggling : RecordingAlbumListView {
    int asked = 0;
    bool covers_wanted() override {
      RecordingAlbumListView::covers_wanted();
      return ++asked == 1;
    }
  } view;
  af::load_album_list(job("1001"), view);
  const auto rows = view.rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0].cover.has_value());
  EXPECT_FALSE(rows[1].cover.has_value());
  EXPECT_EQ(view.asked, 2);
}

TEST_F(AlbumListService, FourCoversAtOnceRowsInListOrderEachWithItsOwnCover) {
  std::vector<int> counts(12, 2);
  counts[4] = 0;
  service().add_user(aftest::user_with_albums("1001", counts));
  // A far link, so that the lanes' requests overlap.
  service().set_link(std::chrono::milliseconds(30));
  af::AlbumListJob four = job("1001");
  four.jobs = 4;
  RecordingAlbumListView view;
  view.set_covers_wanted(true);
  EXPECT_EQ(af::load_album_list(four, view), 11);

  const auto rows = view.rows();
  ASSERT_EQ(rows.size(), 11u);
  int cover_requests = 0;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const int album = static_cast<int>(r) + (r < 4 ? 1 : 2);
    char id[16];
    std::snprintf(id, sizeof id, "1001%04d", album);
    EXPECT_EQ(rows[r].serial, static_cast<int>(r + 1));
    EXPECT_EQ(rows[r].caption, "Album " + std::to_string(album));
    EXPECT_EQ(rows[r].album.id, id);
    ASSERT_TRUE(rows[r].cover.has_value());
    EXPECT_EQ(*rows[r].cover, service().image_bytes(std::string("cover_") + id + ".jpg")) << r;
    EXPECT_FALSE(rows[r].cover_is_placeholder);
    cover_requests +=
        static_cast<int>(service().requests_to(std::string("/large/cover_") + id + ".jpg").size());
  }
  EXPECT_EQ(cover_requests, 11);
  EXPECT_TRUE(service().requests_to("/large/cover_10010005.jpg").empty());
  EXPECT_LE(service().peak_in_flight(), 4);
  EXPECT_EQ(view.progress_labels().size(), 12u);
  EXPECT_EQ(view.status(), G("相册列表获取完毕,共计") + "11" + G("个"));
}

TEST_F(AlbumListService, EndAbortsTheCoversUnderWayAtFourAtOnce) {
  auto user = aftest::user_with_albums("1001", {2, 2, 2, 2, 2, 2});
  // Album 3's cover never comes: its address is a photo that stalls.
  afsample::SamplePhoto& stalled = user.albums[0].photos[0];
  stalled.image_fault = afsample::ImageFault::Stall;
  stalled.image_fault_times = -1;
  stalled.image_fault_delay = std::chrono::hours(1);
  const std::string stalled_path = "/large/" + stalled.pic_name;
  user.albums[2].cover_pic = base() + stalled_path;
  service().add_user(user);
  af::DownloadControl control;
  af::AlbumListJob four = job("1001");
  four.jobs = 4;
  four.gate = &control;
  RecordingAlbumListView view;
  view.set_covers_wanted(true);
  std::thread ender([&] {
    // The lanes go on past the stalled cover; the rows wait for it.
    EXPECT_TRUE(aftest::eventually([&] {
      return !service().requests_to(stalled_path).empty() &&
             !service().requests_to("/large/cover_10010006.jpg").empty() && view.rows().size() >= 2;
    })) << "the stalled cover and the last one asked for, the two rows before them shown";
    control.end();
  });
  EXPECT_EQ(af::load_album_list(four, view), 2);
  ender.join();
  EXPECT_EQ(view.rows().size(), 2u);
}

TEST(Placeholder, IsAJpegOfAboutTheGivenSize) {
  const std::string& bytes = af::placeholder_cover();
  ASSERT_TRUE(aftest::is_wellformed_jpeg(bytes));
  // The frame header (SOF0) holds height then width.
  const std::size_t sof = bytes.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  EXPECT_EQ((at(sof + 5) << 8) | at(sof + 6), 105);
  EXPECT_EQ((at(sof + 7) << 8) | at(sof + 8), 158);
  EXPECT_TRUE(af::looks_like_picture(bytes));
}

TEST(LooksLikePicture, Signatures) {
  EXPECT_TRUE(af::looks_like_picture(std::string("\xFF\xD8\xFF\xE0", 4)));
  EXPECT_TRUE(af::looks_like_picture("GIF89a..."));
  EXPECT_TRUE(af::looks_like_picture("GIF87a..."));
  EXPECT_TRUE(af::looks_like_picture(std::string("\x89PNG\r\n\x1A\n....", 12)));
  EXPECT_FALSE(af::looks_like_picture(""));
  EXPECT_FALSE(af::looks_like_picture("<html>404</html>"));
  EXPECT_FALSE(af::looks_like_picture("GIF8"));
}

TEST_F(AlbumListService, CoverRequestIsPlainHttp10WithoutCookies) {
  service().add_user(aftest::user_with_albums("1001", {1}));
  // The shared store holds a cookie for the service; the page fetch sends it, the cover
  // fetch does not.
  af::Cookie cookie;
  cookie.domain = "127.0.0.1";
  cookie.name = "SUB";
  cookie.value = "cover-test";
  af::CookieStore::instance().set_cookie(cookie);
  af::fetch_page(base() + "/u/1001");
  const std::string bytes = af::fetch_cover(base() + "/large/cover_10010001.jpg").body;
  af::CookieStore::instance().remove_cookie(cookie);

  EXPECT_EQ(bytes, service().image_bytes("cover_10010001.jpg"));
  const auto page = service().requests_to("/u/1001");
  ASSERT_EQ(page.size(), 1u);
  EXPECT_NE(page[0].header("Cookie").find("SUB=cover-test"), std::string::npos);
  const auto cover = service().requests_to("/large/cover_10010001.jpg");
  ASSERT_EQ(cover.size(), 1u);
  EXPECT_EQ(cover[0].version, "HTTP/1.0");
  EXPECT_EQ(cover[0].header("User-Agent"), "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)");
  EXPECT_EQ(cover[0].header("Accept"), "*/*");
  EXPECT_FALSE(cover[0].has_header("Cookie"));
}

TEST_F(AlbumListService, CoverBodyWhateverTheStatusAndEmptyOnFailure) {
  afsample::Fault fault;
  fault.kind = afsample::FaultKind::NotFound;
  fault.path = "/large/x.jpg";
  service().add_fault(fault);
  EXPECT_EQ(af::fetch_cover(base() + "/large/x.jpg").body, "<html><body>404 Not Found</body></html>");
  fault.kind = afsample::FaultKind::Drop;
  fault.path = "/large/cover_1.jpg";
  service().add_user(aftest::user_with_albums("1", {1}));
  service().add_fault(fault);
  EXPECT_EQ(af::fetch_cover(base() + "/large/cover_1.jpg").body, "");
  int closed_port;
  {
    afsample::SampleService other;
    closed_port = other.port();
  }
  EXPECT_EQ(af::fetch_cover("http://127.0.0.1:" + std::to_string(closed_port) + "/large/a.jpg").body, "");
}

TEST_F(AlbumListService, LockedAlbumsListOnlyWithTheSessionCookie) {
  auto user = aftest::user_with_albums("1001", {2, 3});
  user.albums[1].requires_login = true;
  service().add_user(user);
  {
    RecordingAlbumListView view;
    af::load_album_list(job("1001"), view);
    EXPECT_EQ(view.rows().size(), 1u);
  }
  af::Cookie cookie;
  cookie.domain = "127.0.0.1";
  cookie.name = afsample::SampleService::kSessionCookie;
  cookie.value = service().new_session();
  cookie.http_only = true;
  af::CookieStore::instance().set_cookie(cookie);
  RecordingAlbumListView view;
  af::load_album_list(job("1001"), view);
  af::CookieStore::instance().remove_cookie(cookie);
  ASSERT_EQ(view.rows().size(), 2u);
  EXPECT_EQ(view.rows()[1].album, (af::AlbumRef{"10010002", "18"}));
}

TEST_F(AlbumListService, ThreeHundredAlbumsFill) {
  std::vector<int> counts(300, 1);
  service().add_user(aftest::user_with_albums("1001", counts));
  RecordingAlbumListView view;
  EXPECT_EQ(af::load_album_list(job("1001"), view), 300);
  EXPECT_EQ(view.rows().back().serial, 300);
  EXPECT_EQ(view.progress_labels().back(), "100%");
  EXPECT_EQ(view.progress_labels()[2], "1%");  // 3 / 300
}

TEST_F(AlbumListService, PercentageIsExactWholeNumbers) {
  // 29 / 100 and 57 / 100 come out one short in floating point (28.999..., 56.999...).
  std::vector<int> counts(100, 1);
  service().add_user(aftest::user_with_albums("1001", counts));
  RecordingAlbumListView view;
  EXPECT_EQ(af::load_album_list(job("1001"), view), 100);
  const auto labels = view.progress_labels();
  ASSERT_EQ(labels.size(), 100u);
  for (int position = 1; position <= 100; ++position)
    EXPECT_EQ(labels[position - 1], std::to_string(position) + "%") << position;
}

TEST_F(AlbumListService, RealPacingWaitsOneSecondThenTwoHundredMsPerAlbum) {
  service().add_user(aftest::user_with_albums("1001", {1, 0, 1}));
  af::AlbumListJob real = job("1001");
  real.pacing = af::Pacing{};
  ASSERT_EQ(real.pacing.after_album_list, std::chrono::milliseconds(1000));
  ASSERT_EQ(real.pacing.per_album, std::chrono::milliseconds(200));
  RecordingAlbumListView view;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(af::load_album_list(real, view), 2);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1000 + 3 * 200));
  EXPECT_LT(elapsed, std::chrono::seconds(60));
}

TEST_F(AlbumListService, EndedGateStopsTheJob) {
  service().add_user(aftest::user_with_albums("1001", {1, 1, 1}));
  af::DownloadControl control;
  control.end();
  af::AlbumListJob ended = job("1001");
  ended.gate = &control;
  RecordingAlbumListView view;
  EXPECT_EQ(af::load_album_list(ended, view), 0);
  EXPECT_TRUE(view.calls().empty());
  EXPECT_TRUE(service().requests().empty());

  // Ended during the wait after the list request: nothing more reaches the view.
  af::DownloadControl later;
  ended.gate = &later;
  ended.pacing.after_album_list = std::chrono::milliseconds(60000);
  RecordingAlbumListView view2;
  std::thread ender([&] {
    EXPECT_TRUE(aftest::eventually([&] { return !service().requests_to("/albums/get_all").empty(); }))
        << "the album list request";
    later.end();
  });
  EXPECT_EQ(af::load_album_list(ended, view2), 0);
  ender.join();
  EXPECT_TRUE(view2.rows().empty());
  EXPECT_TRUE(view2.progress_labels().empty());
}

class GetAlbumsCommand : public AlbumListService {};

TEST_F(GetAlbumsCommand, EmptyBoxAsksForAnAddress) {
  auto view = std::make_shared<RecordingAlbumListView>();
  af::ResolvedUser user;
  user.user_id = "unchanged";
  af::AlbumsCommand command{endpoints(), "", af::Pacing::shortened(0), nullptr};
  std::thread job = af::get_albums(command, view, user);
  EXPECT_FALSE(job.joinable());
  ASSERT_EQ(view->messages().size(), 1u);
  EXPECT_EQ(view->messages()[0].text, G("请输入网址"));
  EXPECT_EQ(view->messages()[0].caption, G("信息："));
  EXPECT_EQ(user.user_id, "unchanged");
  EXPECT_EQ(view->calls(), (std::vector<std::string>{"message"}));
  EXPECT_TRUE(service().requests().empty());
}

TEST_F(GetAlbumsCommand, ResolvesThenListsOnItsOwnThread) {
  auto user_page = aftest::user_with_albums("1001", {5, 0, 7});
  user_page.title = "\xE6\x96\xB0\xE6\xB5\xAA";  // 新浪
  service().add_user(user_page);
  auto view = std::make_shared<RecordingAlbumListView>();
  af::ResolvedUser user;
  af::AlbumsCommand command{endpoints(), "  " + service().host() + "/u/1001  ", af::Pacing::shortened(0), nullptr};
  std::thread job = af::get_albums(command, view, user);
  ASSERT_TRUE(job.joinable());
  EXPECT_NE(job.get_id(), std::this_thread::get_id());
  EXPECT_EQ(user.home_page_address, base() + "/u/1001");
  EXPECT_EQ(user.user_id, "1001");
  EXPECT_EQ(user.user_title, "\xD0\xC2\xC0\xCB");
  job.join();
  EXPECT_EQ(view->log(), G("正努力获取相册列表，耐心等待哈！") + "\r\n\r\n" + kSignedOutNote + G("-----获取完毕,共计") + "2" + G("个") +
                             "\r\n\r\n");
  const auto calls = view->calls();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(calls[0], "status");
  EXPECT_EQ(calls[1], "log");
  EXPECT_EQ(calls[2], "list_ended");
  EXPECT_EQ(calls[3], "list_started");
  EXPECT_EQ(view->rows().size(), 2u);
  EXPECT_EQ(service().requests_to("/albums/get_all")[0].target, "/albums/get_all?uid=1001&count=6355");
}

TEST_F(GetAlbumsCommand, StatusTexts) {
  service().add_user(aftest::user_with_albums("1001", {1}));
  auto view = std::make_shared<RecordingAlbumListView>();
  af::ResolvedUser user;
  af::AlbumsCommand command{endpoints(), base() + "/u/1001", af::Pacing::shortened(0), nullptr};
  af::get_albums(command, view, user).join();
  EXPECT_EQ(view->statuses(), (std::vector<std::string>{G("温馨提示：正在获取相册列表..."), G("相册获取中，耐心等待..."),
                                                        G("相册列表获取完毕,共计") + "1" + G("个")}));
}

TEST_F(GetAlbumsCommand, EndDuringTheHomePageFetchAbortsIt) {
  service().add_user(aftest::user_with_albums("1001", {1}));
  afsample::Fault slow;
  slow.kind = afsample::FaultKind::Slow;
  slow.path = "/u/1001";
  slow.times = 1;
  slow.delay = std::chrono::seconds(15);
  service().add_fault(slow);
  af::DownloadControl control;
  auto view = std::make_shared<RecordingAlbumListView>();
  af::ResolvedUser user;
  af::AlbumsCommand command{endpoints(), base() + "/u/1001", af::Pacing::shortened(0), &control};
  std::thread ender([&] {
    EXPECT_TRUE(aftest::eventually([&] { return !service().requests_to("/u/1001").empty(); }))
        << "the home page request";
    control.end();
  });
  const auto start = std::chrono::steady_clock::now();
  std::thread job = af::get_albums(command, view, user);
  const auto took = std::chrono::steady_clock::now() - start;
  ender.join();
  // The page would take 15 s; the end cuts it short.
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_FALSE(job.joinable());
  if (job.joinable()) job.join();
  EXPECT_EQ(user.user_id, "");
  EXPECT_TRUE(view->calls().empty());
  EXPECT_TRUE(service().requests_to("/albums/get_all").empty());
}

TEST_F(GetAlbumsCommand, PageWithoutIdNeverAsksForTheList) {
  auto view = std::make_shared<RecordingAlbumListView>();
  af::ResolvedUser user;
  af::AlbumsCommand command{endpoints(), base() + "/nobody", af::Pacing::shortened(0), nullptr};
  std::thread job = af::get_albums(command, view, user);
  EXPECT_FALSE(job.joinable());
  if (job.joinable()) job.join();
  EXPECT_EQ(user.user_id, "");
  EXPECT_NE(user.failure, "");
  EXPECT_TRUE(service().requests_to("/albums/get_all").empty());
  EXPECT_TRUE(view->messages().empty());
  EXPECT_EQ(view->log(), user.failure + "\r\n\r\n");
}

}  // namespace
