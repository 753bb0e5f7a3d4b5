// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/downloader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "download/photo_saver.h"
#include "download/record_store.h"
#include "download/step_gate.h"
#include "download_fixture.h"

namespace af {
namespace {

namespace fs = std::filesystem;
using testing::DownloadLabel;
using testing::DownloadTest;
using testing::ViewEvent;

// ---- pieces without a service ----

TEST(HeldFigure, HoldsValuesWithin0And32767) {
  struct Case {
    std::int64_t given;
    int held;
  };
  for (auto [given, held] : {Case{-5, 0}, Case{0, 0}, Case{1234, 1234}, Case{32767, 32767},
                             Case{32768, 32767}, Case{40000, 32767}, Case{std::int64_t{1} << 40, 32767}})
    EXPECT_EQ(held_figure(given), held) << given;
}

// The texts every front end shows of a photo's progress are made of the held figures.
TEST(ProgressTexts, PercentageAndCounterOfTheHeldFigures) {
  struct Case {
    std::int64_t position, maximum;
    const char* count_text;
    const char* percentage;
    const char* counter;
  };
  for (auto [position, maximum, count_text, percentage, counter] :
       {Case{0, 5, "5", "", "0/5"}, Case{1, 5, "5", "20%", "1/5"}, Case{130, 100, "100", "130%", "130/100"},
        Case{35000, 40000, "40000", "100%", "32767/40000"}, Case{2, 40000, "40000", "0%", "2/40000"},
        Case{3, 0, "", "100%", "3/"}}) {
    const PhotoProgress progress{position, maximum, count_text};
    EXPECT_EQ(progress_percentage_text(progress), percentage) << position << "/" << maximum;
    EXPECT_EQ(progress_counter_text(progress), counter) << position << "/" << maximum;
  }
  EXPECT_EQ(albums_chosen_text(12), G("总共需下载[12]个相册"));
  EXPECT_EQ(album_started_text(3), G("下载到第[3]个相册"));
}

TEST(PercentageText, IsTheIntegerPartOfTheReadBackRatio) {
  struct Case {
    int position, maximum;
    const char* text;
  };
  for (auto [p, m, text] : {Case{150, 1234, "12%"}, Case{130, 100, "130%"}, Case{29, 100, "29%"},
                            Case{7, 120, "5%"}, Case{120, 120, "100%"}, Case{3, 0, "100%"}})
    EXPECT_EQ(percentage_text(p, m), text) << p << "/" << m;
}

// ---- the whole job against the sample service ----

// The command line's choices over the settings: a switch it names wins, one it leaves
// unnamed keeps the settings' value; the dates count only while the range is on.
TEST(SwitchedRequest, EachOverrideWinsAndTheRestKeepTheSettings) {
  const Settings defaults;  // record off, range off, index on, gallery on, 1 job
  const Settings flipped{true, true, false, false, 3};
  const DateRange dates{{2013, 4, 3}, {2013, 4, 5}};
  struct Case {
    Settings settings;
    SwitchOverrides overrides;
    bool record, range, index, gallery;
    int jobs;
  };
  const Case cases[] = {
      {defaults, {}, false, false, true, true, 1},
      {flipped, {}, true, true, false, false, 3},
      {defaults, {true, true, false, false, 8}, true, true, false, false, 8},
      {flipped, {false, false, true, true, 1}, false, false, true, true, 1},
      {flipped, {.range = false}, true, false, false, false, 3},
      {defaults, {.index = false, .jobs = 99}, false, false, false, true, kMostJobs},
  };
  for (const Case& c : cases) {
    const DownloadRequest request = switched_request(c.settings, c.overrides, dates);
    EXPECT_EQ(request.record, c.record);
    EXPECT_EQ(request.range.has_value(), c.range);
    EXPECT_EQ(request.index, c.index);
    EXPECT_EQ(request.gallery, c.gallery);
    EXPECT_EQ(request.jobs, c.jobs);
    EXPECT_EQ(upload_range(request).start, c.range ? datetime_to_timestamp(dates.start) : 0);
  }
}

// The listed albums a download takes: the ticked ones, in list order, each with the count
// as the list stated it; the user and the save folder as given.
TEST(DownloadRequestOfList, TakesTheTickedAlbumsInListOrder) {
  const ResolvedUser user{"http://weibo.com/u/7", "7", G("某人"), {}};
  std::vector<AlbumChoice> listed;
  for (int serial : {1, 2, 3, 4})
    listed.push_back({{.serial = serial, .caption = "A" + std::to_string(serial), .photos = serial * 10,
                       .album = {std::to_string(700 + serial), "18"}},
                      serial % 2 == 0});
  listed[3].row.photos = PhotoCount::of_text("null");
  const DownloadRequest request = download_request({}, {.jobs = 3}, {}, user, listed, "/save/位置");
  EXPECT_EQ(request.user_id, "7");
  EXPECT_EQ(request.user_title, G("某人"));
  EXPECT_EQ(request.save_folder, "/save/位置");
  EXPECT_EQ(request.jobs, 3);
  ASSERT_EQ(request.albums.size(), 2u);
  EXPECT_EQ(request.albums[0].serial, 2);
  EXPECT_EQ(request.albums[0].name, "A2");
  EXPECT_EQ(request.albums[0].photos.number, 20);
  EXPECT_EQ(request.albums[0].album, (AlbumRef{"702", "18"}));
  EXPECT_EQ(request.albums[1].serial, 4);
  EXPECT_EQ(request.albums[1].photos.text, "null");
  EXPECT_EQ(request.albums[1].photos.number, 0);
}

TEST_F(DownloadTest, WholeDownloadOfSeveralAlbums) {
  auto user = afsample::make_user("1001", "/u/1001", "小明的微博");
  user.albums.push_back(afsample::make_album("100100000001", "旅行", 5, 2));
  user.albums.push_back(afsample::make_album("100100000002", "Album B", 3));
  auto big = afsample::make_album("100100000003", "家人（一）", 120);
  user.albums.push_back(big);
  service().add_user(user);
  for (int i = 0; i < 3; ++i) view_.rows.push_back(row_of(i + 1, user.albums[i]));

  run("1001", "小明的微博");

  std::map<std::string, std::string> expected;
  const char* folders[] = {"旅行5", "AlbumB3", "家人一120"};
  for (int a = 0; a < 3; ++a)
    for (std::size_t i = 0; i < user.albums[a].photos.size(); ++i) {
      const auto& photo = user.albums[a].photos[i];
      expected[std::string("小明的微博/") + folders[a] + "/" +
               expected_name(photo, static_cast<int>(i) + 1)] = service().image_bytes(photo.pic_name);
    }
  const auto files = files_under(save_.path());
  EXPECT_EQ(files.size(), expected.size());
  EXPECT_TRUE(files == expected);
  EXPECT_TRUE(files.count("小明的微博/旅行5/2_photo2_" + user.albums[0].photos[1].feed_id + ".gif"));
  EXPECT_TRUE(files.count("小明的微博/家人一120/120_photo120_" + big.photos[119].feed_id + ".jpg"));

  EXPECT_EQ(view_.log(), G("当前被选择相册编号:1、2、3、\r\n\r\n"
                           "准备下载相册《旅行》\r\n\r\n---完成相册《旅行5》下载\r\n\r\n"
                           "准备下载相册《Album B》\r\n\r\n---完成相册《AlbumB3》下载\r\n\r\n"
                           "准备下载相册《家人（一）》\r\n\r\n---完成相册《家人一120》下载\r\n\r\n"
                           "-------全部下载完毕--------\r\n\r\n"));
  EXPECT_EQ(view_.label_texts(DownloadLabel::SelectedAlbums),
            std::vector<std::string>{G("总共需下载[3]个相册")});
  EXPECT_EQ(
      view_.label_texts(DownloadLabel::CurrentAlbum),
      (std::vector<std::string>{G("下载到第[1]个相册"), G("下载到第[2]个相册"), G("下载到第[3]个相册")}));
  EXPECT_EQ(view_.label(DownloadLabel::PhotoCounter), G("下载完成"));
  EXPECT_EQ(view_.label(DownloadLabel::Percentage), "100%");
  EXPECT_EQ(view_.last(ViewEvent::Position), 120);
  EXPECT_EQ(view_.events()[view_.event_count() - 3].kind, ViewEvent::Fill);  // then "100%", the box
  EXPECT_EQ(view_.last(ViewEvent::Maximum), 120);
  EXPECT_EQ(view_.states(), (std::vector<DownloadState>{DownloadState::Running, DownloadState::Idle}));
  EXPECT_EQ(view_.messages(), std::vector<std::string>{G("全部下载完毕")});
  // One image request per photo, and the record holds every photo.
  EXPECT_EQ(all_image_requests(), 128u);
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(record_store_path("1001")));
  for (const auto& album : user.albums)
    for (const auto& photo : album.photos) EXPECT_TRUE(record.is_recorded(photo.photo_id));
}

TEST_F(DownloadTest, PerPhotoProgressTexts) {
  auto user = afsample::make_user("1002", "/u/1002", "T");
  user.albums.push_back(afsample::make_album("100200000001", "A", 5));
  service().add_user(user);
  view_.rows.push_back(row_of(1, user.albums[0]));
  run("1002", "T");
  using V = std::vector<std::string>;
  EXPECT_EQ(view_.label_texts(DownloadLabel::Percentage),
            (V{"", "20%", "40%", "60%", "80%", "100%", "100%"}));
  EXPECT_EQ(view_.label_texts(DownloadLabel::PhotoCounter),
            (V{"1/5", "2/5", "3/5", "4/5", "5/5", "", G("下载完成")}));
  std::vector<int> positions;
  for (const auto& e : view_.events())
    if (e.kind == ViewEvent::Position)
      positions.push_back(e.value);
    else if (e.kind == ViewEvent::Fill)
      positions.push_back(-1);
  EXPECT_EQ(positions, (std::vector<int>{0, 1, 2, 3, 4, 5, -1}));
}

TEST_F(DownloadTest, TickedRowsTwoAndFive) {
  auto user = afsample::make_user("1003", "/u/1003", "T");
  user.albums.push_back(afsample::make_album("100300000001", "A", 1));
  user.albums.push_back(afsample::make_album("100300000002", "B", 1));
  service().add_user(user);
  view_.rows = {row_of(2, user.albums[0]), row_of(5, user.albums[1])};
  run("1003", "T");
  EXPECT_EQ(view_.log().substr(0, G("当前被选择相册编号:2、5、\r\n\r\n").size()),
            G("当前被选择相册编号:2、5、\r\n\r\n"));
  EXPECT_EQ(view_.label(DownloadLabel::SelectedAlbums), G("总共需下载[2]个相册"));
}

TEST_F(DownloadTest, RowWithoutIdOrCountIsListedButNotDownloaded) {
  auto user = afsample::make_user("1004", "/u/1004", "T");
  user.albums.push_back(afsample::make_album("100400000001", "A", 2));
  service().add_user(user);
  view_.rows = {{1, "X", 3, AlbumRef{}}, row_of(2, user.albums[0]), {3, "Y", PhotoCount{}, AlbumRef{"55", "18"}}};
  run("1004", "T");
  EXPECT_EQ(view_.label(DownloadLabel::SelectedAlbums), G("总共需下载[1]个相册"));
  EXPECT_EQ(view_.log(), G("当前被选择相册编号:1、2、3、\r\n\r\n准备下载相册《A》\r\n\r\n"
                           "---完成相册《A2》下载\r\n\r\n-------全部下载完毕--------\r\n\r\n"));
  EXPECT_EQ(files_under(save_.path()).size(), 2u);
}

// An album travels as its fields: a name or an id holding what once separated them stays whole.
TEST_F(DownloadTest, AlbumFieldsStayWholeWhateverTheyHold) {
  auto user = afsample::make_user("1009", "/u/1009", "T");
  user.albums.push_back(afsample::make_album("100900000001", "A", 2));
  service().add_user(user);
  view_.rows = {{1, "a--@@--b", 2, AlbumRef{"100900000001", "18"}},
                {2, "c", 2, AlbumRef{"100900000001--@@--x", "18"}}};
  run("1009", "T");
  EXPECT_EQ(view_.label(DownloadLabel::SelectedAlbums), G("总共需下载[2]个相册"));
  const std::string log = view_.log();
  EXPECT_NE(log.find(G("准备下载相册《a--@@--b》")), std::string::npos) << gbk_to_utf8(log);
  EXPECT_NE(log.find(G("准备下载相册《c》")), std::string::npos) << gbk_to_utf8(log);
  EXPECT_EQ(files_under(save_.path() + "/T/a--@@--b2").size(), 2u);
  std::vector<std::string> asked;
  for (const auto& r : service().requests_to("/photos/get_all"))
    asked.push_back(r.query.substr(0, r.query.find("&count=")));
  EXPECT_NE(std::find(asked.begin(), asked.end(), "uid=1009&album_id=100900000001--@@--x"), asked.end());
}

// Nothing to download (no row ticked, or ticked rows without an id or a count): one line
// says so; no finish tells of a download, no box, no request, the bar as it was.
TEST_F(DownloadTest, NothingToDownloadIsSaidOnceAndFinishesNothing) {
  struct Case {
    std::vector<TickedAlbum> rows;
    const char* line;
  };
  for (const Case& c : {Case{{}, "当前未选择任何相册：请先在相册列表中勾选要下载的相册"},
                        Case{{{1, "X", 3, AlbumRef{}}, {2, "Y", PhotoCount{}, AlbumRef{"5", "18"}}},
                             "选中的相册没有可下载的照片：1、2、"}}) {
    view_.clear();
    view_.set_bar(300, 120);
    view_.rows = c.rows;
    run("1005", "T");
    EXPECT_EQ(view_.log(), G(c.line) + "\r\n\r\n");
    EXPECT_TRUE(view_.messages().empty());
    EXPECT_EQ(view_.calls(), (std::vector<std::string>{"set_bar", "state_changed", "log", "state_changed"}));
    EXPECT_EQ(view_.states().back(), DownloadState::Idle);
    EXPECT_TRUE(service().requests().empty());
  }
}

TEST_F(DownloadTest, StatedCountOf1234ShowsTwelvePercentAt150) {
  auto user = afsample::make_user("1006", "/u/1006", "T");
  user.albums.push_back(afsample::make_album("100600000001", "A", 150));
  service().add_user(user);
  view_.rows = {{1, "A", 1234, AlbumRef{"100600000001", "18"}}};
  run("1006", "T");
  EXPECT_EQ(view_.last(ViewEvent::Maximum), 1234);
  auto percentages = view_.label_texts(DownloadLabel::Percentage);
  auto counters = view_.label_texts(DownloadLabel::PhotoCounter);
  ASSERT_GE(percentages.size(), 152u);
  EXPECT_EQ(percentages[150], "12%");
  EXPECT_EQ(counters[149], "150/1234");
  // 13 pages asked for; the album ends after page 2.
  EXPECT_EQ(service().requests_to("/photos/get_all").size(), 13u);
}

TEST_F(DownloadTest, MorePhotosThanStatedGoBeyondAHundredPercent) {
  auto user = afsample::make_user("1007", "/u/1007", "T");
  user.albums.push_back(afsample::make_album("100700000001", "A", 130));
  service().add_user(user);
  view_.rows = {{1, "A", 100, AlbumRef{"100700000001", "18"}}};
  run("1007", "T");
  auto percentages = view_.label_texts(DownloadLabel::Percentage);
  auto counters = view_.label_texts(DownloadLabel::PhotoCounter);
  ASSERT_GE(counters.size(), 130u);
  EXPECT_EQ(percentages[130], "130%");
  EXPECT_EQ(counters[129], "130/100");
  EXPECT_EQ(files_under(save_.path()).size(), 130u);
}

TEST_F(DownloadTest, StatedCountAboveTheBarLimitHoldsTheMaximum) {
  auto user = afsample::make_user("1008", "/u/1008", "T");
  user.albums.push_back(afsample::make_album("100800000001", "A", 2));
  service().add_user(user);
  view_.rows = {{1, "A", 40000, AlbumRef{"100800000001", "18"}}};
  run("1008", "T");
  EXPECT_EQ(view_.last(ViewEvent::Maximum), 32767);
  EXPECT_EQ(view_.label_texts(DownloadLabel::PhotoCounter)[1], "2/40000");
  EXPECT_EQ(view_.label_texts(DownloadLabel::Percentage)[2], "0%");
}

// ---- upload-time filter ----

class UploadFilterTest : public DownloadTest {
 protected:
  static constexpr std::int64_t kStart = 1364918400;        // 2013-04-03 00:00:00 CST
  static constexpr std::int64_t kEnd = kStart + 2 * 86400;  // 2013-04-05 00:00:00 CST
  void SetUp() override {
    DownloadTest::SetUp();
    user_ = afsample::make_user("2001", "/u/2001", "T");
    auto album = afsample::make_album("200100000001", "A", 6);
    const std::int64_t times[] = {kStart, kStart + 1, kEnd - 1, kEnd, kEnd + 3600, 0};
    for (int i = 0; i < 6; ++i) album.photos[i].timestamp = times[i];
    user_.albums.push_back(album);
    service().add_user(user_);
    view_.rows = {row_of(1, album)};
    view_.start = {2013, 4, 3};
    view_.end = {2013, 4, 5};
  }
  std::vector<int> saved_positions() {
    std::vector<int> positions;
    for (int i = 0; i < 6; ++i)
      if (fs::exists(save_.file("T/A6/" + expected_name(user_.albums[0].photos[i], i + 1))))
        positions.push_back(i + 1);
    return positions;
  }
  afsample::SampleUser user_;
};

TEST_F(UploadFilterTest, OnKeepsOnlyPhotosStrictlyInsideMidnightBounds) {
  set_switches(false, true);
  run("2001", "T");
  EXPECT_EQ(saved_positions(), (std::vector<int>{2, 3}));
  EXPECT_EQ(all_image_requests(), 2u);
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(record_store_path("2001")));
  EXPECT_FALSE(record.is_recorded(user_.albums[0].photos[0].photo_id));  // filtered: not recorded
  EXPECT_TRUE(record.is_recorded(user_.albums[0].photos[1].photo_id));
}

TEST_F(UploadFilterTest, OffKeepsEveryPositiveTimestamp) {
  set_switches(false, false);
  run("2001", "T");
  EXPECT_EQ(saved_positions(), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(UploadFilterTest, SameDateInBothPickersKeepsNothing) {
  set_switches(false, true);
  view_.end = view_.start;
  run("2001", "T");
  EXPECT_TRUE(saved_positions().empty());
  EXPECT_EQ(all_image_requests(), 0u);
  EXPECT_FALSE(fs::exists(save_.file("T/A6"))) << "a folder for an album with nothing to save";
}

TEST_F(UploadFilterTest, ASwitchValueOtherThanOneIsOff) {
  write_setting(settings_section(), range_key(), "yes");
  run("2001", "T");
  EXPECT_EQ(saved_positions().size(), 5u);
}

// ---- download record ----

TEST_F(DownloadTest, RecordSwitchAcrossRuns) {
  auto user = afsample::make_user("3001", "/u/3001", "T");
  user.albums.push_back(afsample::make_album("300100000001", "A", 4));
  service().add_user(user);
  view_.rows = {row_of(1, user.albums[0])};

  set_switches(false, false);
  run("3001", "T");
  EXPECT_EQ(all_image_requests(), 4u);
  run("3001", "T");  // off: every photo again, still recorded once
  EXPECT_EQ(all_image_requests(), 8u);

  set_switches(true, false);
  fs::remove_all(save_.file("T"));
  run("3001", "T");  // on: every photo is in the record
  EXPECT_EQ(all_image_requests(), 8u);
  EXPECT_TRUE(files_under(save_.path()).empty());
  EXPECT_EQ(view_.label(DownloadLabel::Percentage), "100%");
}

TEST_F(DownloadTest, LookupConsultsTheWholeRecord) {
  auto user = afsample::make_user("3002", "/u/3002", "T");
  user.albums.push_back(afsample::make_album("300200000001", "A", 3));
  service().add_user(user);
  const auto& photos = user.albums[0].photos;
  ASSERT_TRUE(DownloadRecord::create_record_store(record_store_path("3002")));
  {
    DownloadRecord record;
    ASSERT_TRUE(record.open_record_store(record_store_path("3002")));
    record.add_record(photos[2].photo_id);
    record.add_record(photos[0].photo_id);
  }
  set_switches(true, false);
  view_.rows = {row_of(1, user.albums[0])};
  run("3002", "T");
  // Only the second photo is fetched; the third is found although it lies before the
  // place of the last append.
  EXPECT_EQ(image_requests(photos[0]), 0u);
  EXPECT_EQ(image_requests(photos[1]), 1u);
  EXPECT_EQ(image_requests(photos[2]), 0u);
  run("3002", "T");
  EXPECT_EQ(all_image_requests(), 1u);
}

TEST_F(DownloadTest, DamagedRecordFileDoesNotStopTheDownload) {
  auto user = afsample::make_user("3003", "/u/3003", "T");
  user.albums.push_back(afsample::make_album("300300000001", "A", 3));
  service().add_user(user);
  testing::write_file(program_.file("3003.dlr"), std::string(2048, 'Z'));
  set_switches(true, false);
  view_.rows = {row_of(1, user.albums[0])};
  run("3003", "T");
  EXPECT_EQ(files_under(save_.path()).size(), 3u);
}

// ---- folders and names ----

TEST_F(DownloadTest, EmptySaveBoxMeansTheProgramDirectory) {
  auto user = afsample::make_user("4001", "/u/4001", "用户：一");
  user.albums.push_back(afsample::make_album("400100000001", "A.b c", 2));
  service().add_user(user);
  view_.rows = {row_of(1, user.albums[0])};
  view_.save_folder = "";
  run("4001", "用户：一");
  EXPECT_TRUE(fs::exists(program_.file("用户一/Abc2/" + expected_name(user.albums[0].photos[0], 1))));
  EXPECT_TRUE(files_under(save_.path()).empty());
}

TEST_F(DownloadTest, RefusedCaptionIsRetriedWithItsIdeographs) {
  auto user = afsample::make_user("4002", "/u/4002", "T");
  auto album = afsample::make_album("400200000001", "A", 2);
  // More than 255 characters as it is; short enough with its ideographs only.
  album.photos[0].caption_render = std::string(250, 'x') + "2013年春游";
  // A feed id that leaves no room for a caption: the feed id is shortened too.
  album.photos[1].feed_id = std::string(300, '7');
  user.albums.push_back(album);
  service().add_user(user);
  view_.rows = {row_of(1, album)};
  run("4002", "T");
  const std::map<std::string, std::string> want{
      {"1_年春游_" + album.photos[0].feed_id + ".jpg", service().image_bytes(album.photos[0].pic_name)},
      {"2__" + std::string(248, '7') + ".jpg", service().image_bytes(album.photos[1].pic_name)}};
  EXPECT_EQ(files_under(save_.file("T/A2")), want);
  // The refused name's index line was taken back: the index names the files there.
  const auto indexed = read_indexed_photos(save_.file("T/A2"));
  EXPECT_EQ(indexed.size(), 2u);
  for (const IndexedPhoto& photo : indexed) EXPECT_TRUE(want.count(photo.file_name)) << photo.file_name;
  EXPECT_EQ(view_.log().find(G("失败")), std::string::npos);
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(record_store_path("4002")));
  EXPECT_TRUE(record.is_recorded(album.photos[0].photo_id));
  EXPECT_TRUE(record.is_recorded(album.photos[1].photo_id));
}

// A caption within 255 characters but beyond 255 bytes of UTF-8 (ideographs take three
// each) is shortened at a character boundary; number, feed id and extension stay whole.
TEST_F(DownloadTest, ALongCaptionIsShortenedToFitTheFileName) {
  auto user = afsample::make_user("4004", "/u/4004", "T");
  auto album = afsample::make_album("400400000001", "A", 2);
  std::string long_caption;
  for (int i = 0; i < 200; ++i) long_caption += i % 2 ? "游" : "春";
  album.photos[0].caption_render = long_caption;
  album.photos[1].caption_render = "ab" + long_caption.substr(0, 85 * 3);  // 87 characters
  user.albums.push_back(album);
  service().add_user(user);
  view_.rows = {row_of(1, album)};
  run("4004", "T");
  const auto files = files_under(save_.file("T/A2"));
  ASSERT_EQ(files.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    const auto& photo = album.photos[i];
    const std::string head = std::to_string(i + 1) + "_";
    const std::string tail = "_" + photo.feed_id + ".jpg";
    auto it = std::find_if(files.begin(), files.end(), [&](const auto& file) {
      return file.first.starts_with(head) && file.first.ends_with(tail);
    });
    ASSERT_NE(it, files.end()) << i;
    EXPECT_LE(it->first.size(), 255u);
    EXPECT_GT(it->first.size(), 255u - 3);  // shortened no further than needed
    const std::string shown = it->first.substr(head.size(), it->first.size() - head.size() - tail.size());
    const std::string full = i == 0 ? long_caption : "ab" + long_caption.substr(0, 85 * 3);
    EXPECT_TRUE(full.starts_with(shown)) << i;
    EXPECT_EQ(it->second, service().image_bytes(photo.pic_name));
  }
  EXPECT_EQ(view_.log().find(G("失败")), std::string::npos);
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(record_store_path("4004")));
  EXPECT_TRUE(record.is_recorded(album.photos[0].photo_id));
  EXPECT_TRUE(record.is_recorded(album.photos[1].photo_id));
}

TEST_F(DownloadTest, NamePartsFromTheServiceCannotLeaveTheAlbumFolder) {
  auto user = afsample::make_user("4003", "/u/4003", "../../up");
  auto album = afsample::make_album("400300000001", "../..", 2);
  album.photos[0].feed_id = "../../../escaped";
  album.photos[0].caption_render = "../x/";
  album.photos[1].feed_id = "..";
  album.photos[1].caption_render = "/";
  user.albums.push_back(album);
  service().add_user(user);
  view_.rows = {{1, "../..", PhotoCount::of_text("/../2"), AlbumRef{album.album_id, "18"}}};
  run("4003", "../../up");
  const auto files = files_under(save_.path());
  std::vector<std::string> names;
  for (const auto& [name, bytes] : files) names.push_back(name);
  // The album name cleans to nothing: its folder is named from the count and the album id.
  EXPECT_EQ(names,
            (std::vector<std::string>{"up/2_400300000001/1_x_escaped.jpg", "up/2_400300000001/2__.jpg"}));
  // Nothing anywhere else: not beside the save folder, not in the program directory.
  EXPECT_FALSE(fs::exists(fs::path(save_.path()).parent_path() / "escaped"));
  for (const auto& entry : fs::directory_iterator(program_.path()))
    EXPECT_TRUE(entry.path().filename() == "4003.dlr" ||
                entry.path().filename().string().rfind("4003.dlr-", 0) == 0 ||
                entry.path().filename() == "peizi.ini")
        << entry.path();
}

// ---- failed image fetches ----

TEST_F(DownloadTest, FailedFetchIsNotWrittenNotRecordedButLogged) {
  auto user = afsample::make_user("5001", "/u/5001", "T");
  auto album = afsample::make_album("500100000001", "A", 3);
  album.photos[0].image_fault_status = 404;  // both tries fail
  album.photos[0].image_fault_times = -1;
  album.photos[1].image_fault_status = 500;  // the second try succeeds
  album.photos[1].image_fault_times = 1;
  user.albums.push_back(album);
  service().add_user(user);
  set_switches(true, false);
  view_.rows = {row_of(1, album)};
  run("5001", "T");

  EXPECT_EQ(image_requests(album.photos[0]), 2u);
  EXPECT_EQ(image_requests(album.photos[1]), 2u);
  EXPECT_EQ(image_requests(album.photos[2]), 1u);
  const auto files = files_under(save_.file("T/A3"));
  EXPECT_EQ(files.size(), 2u);
  EXPECT_FALSE(files.count(expected_name(album.photos[0], 1)));
  EXPECT_EQ(files.at(expected_name(album.photos[1], 2)), service().image_bytes(album.photos[1].pic_name));
  EXPECT_EQ(view_.log(), G("当前被选择相册编号:1、\r\n\r\n准备下载相册《A》\r\n\r\n失败") +
                             album.photos[0].photo_id + G("微博id") + album.photos[0].feed_id +
                             G("\r\n原因：服务器回答 HTTP 404\r\n---完成相册《A3》下载\r\n\r\n-------下载结束：已保存2张，失败1张。-------\r\n\r\n"));

  // The service mends; a later download with the record on fetches only the failed photo.
  service().reset();
  album.photos[0].image_fault_status = 0;
  user.albums[0] = album;
  service().add_user(user);
  run("5001", "T");
  EXPECT_EQ(all_image_requests(), 1u);
  EXPECT_EQ(image_requests(album.photos[0]), 1u);
  EXPECT_EQ(files_under(save_.file("T/A3")).at(expected_name(album.photos[0], 1)),
            service().image_bytes(album.photos[0].pic_name));
}

TEST_F(DownloadTest, NoAnswerAtAllIsAFailedFetch) {
  auto user = afsample::make_user("5002", "/u/5002", "T");
  auto album = afsample::make_album("500200000001", "A", 1);
  album.photos[0].pic_host = "http://127.0.0.1:1";  // nothing listens there
  user.albums.push_back(album);
  service().add_user(user);
  view_.rows = {row_of(1, album)};
  run("5002", "T");
  EXPECT_TRUE(files_under(save_.path()).empty());
  EXPECT_NE(view_.log().find(G("失败") + album.photos[0].photo_id), std::string::npos);
}

// The number in a file name is the photo's position, even beyond the bar's 32767.
TEST_F(DownloadTest, FileNumberIsThePositionNeverHeld) {
  auto user = afsample::make_user("5003", "/u/5003", "T");
  user.albums.push_back(afsample::make_album("500300000001", "A", 1));
  service().add_user(user);
  const auto& photo = user.albums[0].photos[0];
  PhotoEntry entry;
  entry.photo_id = photo.photo_id;
  entry.timestamp = std::to_string(photo.timestamp);
  entry.image_address = base() + "/large/" + photo.pic_name;
  entry.extension = ".jpg";
  entry.feed_id = photo.feed_id;
  entry.caption_render = "c";
  DownloadControl control;
  std::mutex mutex;
  StepGate steps(control, mutex);
  DownloadRecord record;
  std::string log;
  PhotoSaver saver(save_.path(), record, steps, [&](const std::string& l) { log += l; }, {});
  EXPECT_EQ(saver.save_photo(entry, 40000), SaveOutcome::Saved);
  entry.caption_render = "c";
  EXPECT_EQ(saver.save_photo(entry, 40001), SaveOutcome::Saved);
  EXPECT_EQ(saver.commit_record_group(), 0);  // the group takes its names
  EXPECT_TRUE(fs::exists(save_.file("40000_c_" + photo.feed_id + ".jpg")));
  EXPECT_TRUE(fs::exists(save_.file("40001_c_" + photo.feed_id + ".jpg")));
  EXPECT_TRUE(log.empty());
}

TEST_F(DownloadTest, LeftoverTemporaryFilesAreRemovedAtTheAlbumsStart) {
  auto user = afsample::make_user("5004", "/u/5004", "T");
  user.albums.push_back(afsample::make_album("500400000001", "A", 1));
  service().add_user(user);
  fs::create_directories(save_.file("T/A1"));
  testing::write_file(save_.file("T/A1/.albumfetcher-99999.part"), "half a photo");
  view_.rows = {row_of(1, user.albums[0])};
  run("5004", "T");
  const auto files = files_under(save_.file("T/A1"));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files.begin()->first, expected_name(user.albums[0].photos[0], 1));
}

// ---- pause, continue, end ----

TEST_F(DownloadTest, PauseDuringTheRetryWaitRequestsNothingUntilContinue) {
  auto user = afsample::make_user("6001", "/u/6001", "T");
  user.albums.push_back(afsample::make_album("600100000001", "A", 3));
  service().add_user(user);
  afsample::Fault empty_once;
  empty_once.kind = afsample::FaultKind::Empty;
  empty_once.path = "/photos/get_all";
  empty_once.times = 1;
  service().add_fault(empty_once);
  view_.rows = {row_of(1, user.albums[0])};
  auto o = options();
  o.pacing.empty_page_retry = std::chrono::milliseconds(300);
  o.pacing.album_give_up = std::chrono::milliseconds(3000);
  Downloader downloader(view_, o);
  ASSERT_TRUE(downloader.start(view_.request("6001", G("T"))));
  ASSERT_TRUE(eventually([&] { return service().requests_to("/photos/get_all").size() == 1; }));
  const PausedSpan paused = pause_then_continue(downloader);
  EXPECT_EQ(downloader.state(), DownloadState::Running);
  ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(60)));
  expect_no_request_while_paused(paused);
  // The wait's clock stood still while paused: the retry came its whole wait after the
  // empty answer, the pause not counted in it.
  const auto lists = service().requests_to("/photos/get_all");
  ASSERT_GE(lists.size(), 2u);
  EXPECT_GE(lists[1].at - lists[0].at, o.pacing.empty_page_retry + (paused.to - paused.from));
  std::size_t first_page = 0;
  for (const auto& r : lists)
    if (r.query.find("&page=1&") != std::string::npos) ++first_page;
  EXPECT_EQ(first_page, 2u);
  EXPECT_EQ(files_under(save_.path()).size(), 3u);
  EXPECT_EQ(view_.states(), (std::vector<DownloadState>{DownloadState::Running, DownloadState::Paused,
                                                        DownloadState::Running, DownloadState::Idle}));
}

TEST_F(DownloadTest, PauseHoldsEverythingAndContinueCompletes) {
  auto user = afsample::make_user("6002", "/u/6002", "T");
  user.albums.push_back(afsample::make_album("600200000001", "A", 40));
  service().add_user(user);
  set_switches(true, false);
  view_.rows = {row_of(1, user.albums[0])};
  auto o = options();
  o.pacing.after_photo = std::chrono::milliseconds(20);
  Downloader downloader(view_, o);
  ASSERT_TRUE(downloader.start(view_.request("6002", G("T"))));
  ASSERT_TRUE(eventually([&] { return all_image_requests() >= 3; }));
  const PausedSpan paused = pause_then_continue(downloader);
  ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(60)));
  expect_no_request_while_paused(paused);
  EXPECT_EQ(files_under(save_.file("T/A40")).size(), 40u);
  EXPECT_EQ(all_image_requests(), 40u);
}

TEST_F(DownloadTest, EndWhileASlowImageIsInFlight) {
  auto user = afsample::make_user("6003", "/u/6003", "T");
  user.albums.push_back(afsample::make_album("600300000001", "A", 5));
  service().add_user(user);
  const auto& photos = user.albums[0].photos;
  afsample::Fault slow;
  slow.kind = afsample::FaultKind::Slow;
  slow.path = "/large/" + photos[2].pic_name;
  slow.delay = std::chrono::milliseconds(12000);
  service().add_fault(slow);
  view_.rows = {row_of(1, user.albums[0])};
  Downloader downloader(view_, options());
  ASSERT_TRUE(downloader.start(view_.request("6003", G("T"))));
  ASSERT_TRUE(eventually([&] { return image_requests(photos[2]) == 1; }));

  const auto started = std::chrono::steady_clock::now();
  downloader.end_download();
  EXPECT_EQ(downloader.state(), DownloadState::Idle);
  EXPECT_EQ(view_.states().back(), DownloadState::Idle);
  const std::size_t events = view_.event_count();
  // The transfer is aborted: the worker is gone long before the slow answer would come.
  ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(8)));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));

  EXPECT_EQ(view_.event_count(), events);
  EXPECT_EQ(image_requests(photos[2]), 1u);
  EXPECT_EQ(image_requests(photos[3]), 0u);
  const auto files = files_under(save_.path());
  std::vector<std::string> names;
  for (const auto& [name, bytes] : files) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"T/A5/" + expected_name(photos[0], 1),
                                             "T/A5/" + expected_name(photos[1], 2)}));
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(record_store_path("6003")));
  EXPECT_TRUE(record.is_recorded(photos[1].photo_id));
  EXPECT_FALSE(record.is_recorded(photos[2].photo_id));
  EXPECT_EQ(view_.log().find(G("失败")), std::string::npos);
  EXPECT_TRUE(view_.messages().empty());
}

TEST_F(DownloadTest, PauseThenEnd) {
  auto user = afsample::make_user("6004", "/u/6004", "T");
  user.albums.push_back(afsample::make_album("600400000001", "A", 30));
  service().add_user(user);
  view_.rows = {row_of(1, user.albums[0])};
  auto o = options();
  o.pacing.after_photo = std::chrono::milliseconds(20);
  // Paused while the third image is under way (its answer held back), so that what was
  // asked and written is known: the two photos before it, settled within their waits.
  service().add_fault(testing::slow_image(user.albums[0].photos[2], std::chrono::minutes(5)));
  Downloader downloader(view_, o);
  ASSERT_TRUE(downloader.start(view_.request("6004", G("T"))));
  ASSERT_TRUE(eventually([&] { return image_requests(user.albums[0].photos[2]) == 1; }));
  downloader.pause_download();
  const std::size_t requests = service().requests().size();
  const std::size_t files = files_under(save_.path()).size();
  downloader.end_download();
  EXPECT_EQ(view_.states(),
            (std::vector<DownloadState>{DownloadState::Running, DownloadState::Paused, DownloadState::Idle}));
  const std::size_t events = view_.event_count();
  ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(10)));
  EXPECT_EQ(view_.event_count(), events);
  EXPECT_EQ(service().requests().size(), requests);
  EXPECT_EQ(files_under(save_.path()).size(), files);
  for (const auto& [name, bytes] : files_under(save_.path()))
    EXPECT_EQ(name.find(".part"), std::string::npos) << name;
  // Operations that do not fit the state change nothing.
  downloader.continue_download();
  downloader.pause_download();
  EXPECT_EQ(downloader.state(), DownloadState::Idle);
  EXPECT_EQ(view_.event_count(), events);
}

TEST_F(DownloadTest, EndedDownloadsUpdatesAreStaleAndANewStartIsCurrent) {
  auto user = afsample::make_user("6005", "/u/6005", "T");
  user.albums.push_back(afsample::make_album("600500000001", "A", 20));
  service().add_user(user);
  view_.rows = {row_of(1, user.albums[0])};
  auto o = options();
  o.pacing.after_photo = std::chrono::milliseconds(20);
  Downloader downloader(view_, o);
  ASSERT_TRUE(downloader.start(view_.request("6005", G("T"))));
  EXPECT_FALSE(downloader.start(view_.request("6005", G("T"))));  // one worker at a time
  ASSERT_TRUE(eventually([&] { return all_image_requests() >= 1; }));
  downloader.end_download();
  Generation first = 0;
  for (const auto& e : view_.events())
    if (e.generation != kControllerGeneration) first = e.generation;
  ASSERT_NE(first, kControllerGeneration);
  EXPECT_FALSE(downloader.is_current(first));
  EXPECT_TRUE(downloader.is_current(kControllerGeneration));

  view_.clear();
  ASSERT_TRUE(downloader.start(view_.request("6005", G("T"))));
  ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(60)));
  for (const auto& e : view_.events()) {
    if (e.generation == kControllerGeneration) continue;
    EXPECT_NE(e.generation, first);
    EXPECT_TRUE(downloader.is_current(e.generation));
  }
  EXPECT_EQ(files_under(save_.file("T/A20")).size(), 20u);
}

}  // namespace
}  // namespace af
