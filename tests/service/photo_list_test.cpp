// SPDX-License-Identifier: GPL-3.0-or-later
// Photo list paging against the sample service: the address byte for byte, page counts,
// the empty-answer retries, entries and positions, and the walk past a wrong count.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <set>
#include <thread>

#include "core/gate.h"
#include "service/photo_list.h"
#include "support/bounded_wait.h"
#include "support/sample_service_env.h"
#include "util/codepage.h"
#include "util/json_document.h"

namespace {

using af::G;

struct SplitCase {
  const char* text;
  const char* album_id;
  const char* type;
};

class AlbumRefText : public ::testing::TestWithParam<SplitCase> {};

TEST_P(AlbumRefText, ParsedIntoIdAndType) {
  const af::AlbumRef album = af::parse_album_ref(GetParam().text);
  EXPECT_EQ(album.id, GetParam().album_id);
  EXPECT_EQ(album.type, GetParam().type);
  // Whatever the id column holds, an album is skipped only when the column is empty.
  EXPECT_EQ(album.empty(), std::string(GetParam().text).empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, AlbumRefText,
                         ::testing::Values(SplitCase{"123@@3", "123", "3"}, SplitCase{"123", "123", ""},
                                           SplitCase{"1@@2@@3", "1@@2@@3", ""}, SplitCase{"123@@", "123@@", ""},
                                           SplitCase{"@@18", "", "18"}, SplitCase{"", "", ""},
                                           SplitCase{"3558936301234567@@18", "3558936301234567", "18"}));

TEST(AlbumRefText, FormattedAsTheIdColumnShowsIt) {
  EXPECT_EQ(af::album_ref_text({"3558936301234567", "18"}), "3558936301234567@@18");
  EXPECT_EQ(af::album_ref_text({"9", "null"}), "9@@null");
  EXPECT_EQ(af::album_ref_text({"", ""}), "@@");
  for (const af::AlbumRef& album :
       {af::AlbumRef{"123", "3"}, af::AlbumRef{"", "18"}, af::AlbumRef{"9", "null"}})
    EXPECT_EQ(af::parse_album_ref(af::album_ref_text(album)), album) << album.id;
  // An empty type does not come back: the column's text then names an id of its own.
  EXPECT_EQ(af::parse_album_ref(af::album_ref_text({"123", ""})), (af::AlbumRef{"123@@", ""}));
}

// A photo count is read once: the number its text starts with (held to 32 bits) for paging
// and progress, the text itself for what is shown and named.
TEST(PhotoCountText, ReadOnceIntoNumberAndText) {
  struct Case {
    const char* text;
    std::int64_t number;
    bool stated;
  };
  for (const Case& c : {Case{"12", 12, true}, Case{"0", 0, true}, Case{"null", 0, true}, Case{"", 0, false},
                        Case{"99999999999", 2147483647, true}, Case{"-5", -5, true}, Case{"/../2", 0, true}}) {
    const af::PhotoCount count = af::PhotoCount::of_text(c.text);
    EXPECT_EQ(count.number, c.number) << c.text;
    EXPECT_EQ(count.text, c.text);
    EXPECT_EQ(count.stated(), c.stated) << c.text;
  }
  EXPECT_EQ(af::PhotoCount(40000).text, "40000");
  EXPECT_EQ(af::PhotoCount(40000), af::PhotoCount::of_text("40000"));
}

TEST(PhotoListAddress, ByteForByte) {
  EXPECT_EQ(af::photo_list_address(af::ServiceEndpoints{}, "1642591402", {"3558936301234567", "18"}, 2,
                                   "0.123456789012345"),
            "http://photo.weibo.com/photos/get_all?uid=1642591402&album_id=3558936301234567&count=100&page=2"
            "&type=18&__rnd=0.123456789012345");
  EXPECT_EQ(af::photo_list_address(af::ServiceEndpoints{}, "", {"1", ""}, 1, "0.1"),
            "http://photo.weibo.com/photos/get_all?uid=&album_id=1&count=100&page=1&type=&__rnd=0.1");
}

struct EntryCase {
  const char* name;
  const char* json;
  const char* photo_id;
  const char* timestamp;
  const char* image_address;
  const char* extension;
  const char* feed_id;
  const char* caption_render;
};

class ReadPhotoEntry : public ::testing::TestWithParam<EntryCase> {};

TEST_P(ReadPhotoEntry, Fields) {
  const EntryCase c = GetParam();
  af::JsonDocument item;
  ASSERT_TRUE(item.parse(c.json));
  const af::PhotoEntry e = af::read_photo_entry(item);
  EXPECT_EQ(e.photo_id, c.photo_id);
  EXPECT_EQ(e.timestamp, c.timestamp);
  EXPECT_EQ(e.image_address, c.image_address);
  EXPECT_EQ(e.pic_host + "/large/" + e.pic_name, e.image_address);
  EXPECT_EQ(e.extension, c.extension);
  EXPECT_EQ(e.feed_id, c.feed_id);
  EXPECT_EQ(e.caption_render, c.caption_render);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadPhotoEntry,
    ::testing::Values(
        EntryCase{"plain",
                  R"({"photo_id":"3800000000000001","timestamp":1365000000,"pic_host":"http:\/\/ww2.sinaimg.cn",)"
                  R"("pic_name":"abc.jpg","feed_id":"356","caption_render":"hi"})",
                  "3800000000000001", "1365000000", "http://ww2.sinaimg.cn/large/abc.jpg", ".jpg", "356", "hi"},
        EntryCase{"gif", R"({"photo_id":1,"timestamp":"2","pic_host":"http://h","pic_name":"a.gif"})", "1", "2",
                  "http://h/large/a.gif", ".gif", "null", "null"},
        EntryCase{"gif_upper_case", R"({"photo_id":"1","pic_host":"http://h","pic_name":"a.GIF"})", "1", "null",
                  "http://h/large/a.GIF", ".jpg", "null", "null"},
        EntryCase{"gif_inside", R"({"photo_id":"1","pic_host":"http://h","pic_name":"a.gif.jpg"})", "1", "null",
                  "http://h/large/a.gif.jpg", ".gif", "null", "null"},
        EntryCase{"missing", R"({})", "null", "null", "null/large/null", ".jpg", "null", "null"}),
    [](const auto& info) { return std::string(info.param.name); });

class PhotoListService : public aftest::SampleServiceTest {
 protected:
  struct Walked {
    bool result = false;
    std::vector<af::PhotoEntry> entries;
    std::vector<std::int64_t> positions;
  };

  // `id_text`: the album as the table's id column holds it.
  af::AlbumWalk walk_of(const std::string& uid, const std::string& count, const std::string& id_text) {
    af::AlbumWalk w;
    w.endpoints = endpoints();
    w.user_id = uid;
    w.photos = af::PhotoCount::of_text(count);
    w.album = af::parse_album_ref(id_text);
    w.pacing = af::Pacing::shortened(0);
    return w;
  }

  Walked walk(const af::AlbumWalk& w) {
    Walked out;
    out.result = af::walk_album(w, [&](const af::PhotoEntry& e, std::int64_t position) {
      out.entries.push_back(e);
      out.positions.push_back(position);
      return true;
    });
    return out;
  }

  std::vector<std::string> pages_requested() {
    std::vector<std::string> pages;
    static const std::regex page("&page=([0-9]+)&");
    for (const auto& r : service().requests_to("/photos/get_all")) {
      std::smatch m;
      if (std::regex_search(r.query, m, page)) pages.push_back(m[1]);
    }
    return pages;
  }

  void add_album(afsample::SampleAlbum album) {
    auto user = afsample::make_user("1001", "/u/1001", "T");
    user.albums.push_back(std::move(album));
    service().add_user(user);
  }
};

TEST_F(PhotoListService, AddressByteForByteOnTheServerWithFreshRandomPerPage) {
  add_album(afsample::make_album("3558936301234567", "A", 150));
  const Walked w = walk(walk_of("1001", "150", "3558936301234567@@18"));
  ASSERT_TRUE(w.result);
  EXPECT_EQ(w.entries.size(), 150u);
  const auto recorded = service().requests_to("/photos/get_all");
  ASSERT_EQ(recorded.size(), 3u);  // two stated pages, then the first that brings nothing
  std::set<std::string> rnds;
  for (std::size_t i = 0; i < recorded.size(); ++i) {
    const std::string target = recorded[i].target;
    const std::string stem = "/photos/get_all?uid=1001&album_id=3558936301234567&count=100&page=" +
                             std::to_string(i + 1) + "&type=18&__rnd=";
    ASSERT_EQ(target.substr(0, stem.size()), stem);
    const std::string rnd = target.substr(stem.size());
    EXPECT_TRUE(std::regex_match(rnd, std::regex("0\\.[0-9]{14}[1-9]"))) << rnd;
    rnds.insert(rnd);
    EXPECT_EQ(recorded[i].method, "GET");
  }
  EXPECT_EQ(rnds.size(), recorded.size());
}

TEST_F(PhotoListService, EntriesCarryTheImageAddressAndExtension) {
  add_album(afsample::make_album("77", "A", 6, 3));
  const Walked w = walk(walk_of("1001", "6", "77@@18"));
  ASSERT_EQ(w.entries.size(), 6u);
  const auto expected = afsample::make_photos("77", 6, 3);
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(w.entries[i].photo_id, expected[i].photo_id);
    EXPECT_EQ(w.entries[i].timestamp, std::to_string(expected[i].timestamp));
    EXPECT_EQ(w.entries[i].pic_host, base());
    EXPECT_EQ(w.entries[i].image_address, base() + "/large/" + expected[i].pic_name);
    EXPECT_EQ(w.entries[i].extension, expected[i].pic_name.find(".gif") != std::string::npos ? ".gif" : ".jpg");
    EXPECT_EQ(w.entries[i].feed_id, expected[i].feed_id);
    EXPECT_EQ(w.positions[i], static_cast<std::int64_t>(i + 1));
  }
  EXPECT_EQ(w.entries[2].extension, ".gif");
  EXPECT_EQ(w.entries[0].extension, ".jpg");
  // The address reaches the image.
  EXPECT_TRUE(aftest::is_wellformed_gif(aftest::http_get(w.entries[2].image_address).body));
}

struct PagingCase {
  const char* name;
  const char* count_text;
  int photos;
  int page_size;
  afsample::PastEnd past_end;
  std::vector<std::string> pages;
  std::size_t received;
};

class Paging : public PhotoListService, public ::testing::WithParamInterface<PagingCase> {};

TEST_P(Paging, PagesRequestedAndPhotosReceived) {
  const PagingCase c = GetParam();
  auto album = afsample::make_album("55", "A", c.photos);
  album.page_size = c.page_size;
  album.past_end = c.past_end;
  add_album(album);
  const Walked w = walk(walk_of("1001", c.count_text, "55@@18"));
  EXPECT_TRUE(w.result);
  EXPECT_EQ(pages_requested(), c.pages);
  ASSERT_EQ(w.entries.size(), c.received);
  std::set<std::string> ids;
  for (std::size_t i = 0; i < w.entries.size(); ++i) {
    ids.insert(w.entries[i].photo_id);
    EXPECT_EQ(w.positions[i], static_cast<std::int64_t>(i + 1));
  }
  EXPECT_EQ(ids.size(), w.entries.size());  // no photo handed on twice
}

using afsample::PastEnd;
INSTANTIATE_TEST_SUITE_P(
    Cases, Paging,
    ::testing::Values(
        PagingCase{"count_0_empty", "0", 0, 100, PastEnd::Empty, {"1"}, 0},
        PagingCase{"count_not_numeric", "abc", 0, 100, PastEnd::Empty, {"1"}, 0},
        PagingCase{"count_100_second_page_empty", "100", 100, 100, PastEnd::Empty, {"1", "2"}, 100},
        PagingCase{"count_99", "99", 99, 100, PastEnd::Empty, {"1", "2"}, 99},
        PagingCase{"count_250", "250", 250, 100, PastEnd::Empty, {"1", "2", "3", "4"}, 250},
        // Mended: short pages of 30 (the album of post pictures) are followed to the end.
        PagingCase{"short_pages", "45", 45, 30, PastEnd::Empty, {"1", "2", "3"}, 45},
        // Mended: a count that says too little no longer hides the rest of the album.
        PagingCase{"count_too_small", "50", 250, 100, PastEnd::Empty, {"1", "2", "3", "4"}, 250},
        PagingCase{"count_zero_but_photos", "0", 20, 100, PastEnd::Empty, {"1", "2"}, 20},
        // A service that repeats its last page: the repeat brings nothing new and ends the walk.
        PagingCase{"repeat_after_end", "130", 130, 100, PastEnd::RepeatLast, {"1", "2", "3"}, 130},
        PagingCase{"count_too_large", "300", 130, 100, PastEnd::Empty, {"1", "2", "3", "4"}, 130}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PhotoListService, PositionsFollowPagesWhenFull) {
  add_album(afsample::make_album("55", "A", 230));
  const Walked w = walk(walk_of("1001", "230", "55@@18"));
  ASSERT_EQ(w.positions.size(), 230u);
  // Page 3, index 7: (3 - 1) * 100 + 7.
  EXPECT_EQ(w.positions[206], 207);
  EXPECT_EQ(w.entries[206].photo_id, afsample::make_photos("55", 230)[206].photo_id);
}

TEST_F(PhotoListService, RepeatsWithinTheStatedPagesAreHandedOnAndKeepTheNumbering) {
  // Page 2 (stated) holds a photo page 1 already gave; page 3 (past the stated count) does too.
  auto album = afsample::make_album("55", "A", 300);
  album.photos[150] = album.photos[20];
  album.photos[250] = album.photos[30];
  add_album(album);
  const auto photos = album.photos;
  const Walked w = walk(walk_of("1001", "150", "55@@18"));
  EXPECT_TRUE(w.result);
  EXPECT_EQ(pages_requested(), (std::vector<std::string>{"1", "2", "3", "4"}));
  ASSERT_EQ(w.entries.size(), 299u);
  for (std::size_t i = 0; i < w.entries.size(); ++i) EXPECT_EQ(w.positions[i], static_cast<std::int64_t>(i + 1));
  // Within the stated pages every item counts: page 2, index 51 is 151, the repeat included.
  EXPECT_EQ(w.entries[150].photo_id, photos[20].photo_id);
  // Page 3, index 7: (3 - 1) * 100 + 7.
  EXPECT_EQ(w.entries[206].photo_id, photos[206].photo_id);
  EXPECT_EQ(w.positions[206], 207);
  // Past the stated pages the repeat is left out and the numbering runs on.
  EXPECT_EQ(w.entries[250].photo_id, photos[251].photo_id);
  EXPECT_EQ(w.entries.back().photo_id, photos[299].photo_id);
}

TEST_F(PhotoListService, RepeatedLastPageWithinTheStatedPagesIsHandedOnAgain) {
  auto album = afsample::make_album("55", "A", 130);
  album.past_end = afsample::PastEnd::RepeatLast;
  add_album(album);
  const Walked w = walk(walk_of("1001", "300", "55@@18"));
  EXPECT_TRUE(w.result);
  // Four stated pages; page 4 brings nothing new, so nothing past it is asked for.
  EXPECT_EQ(pages_requested(), (std::vector<std::string>{"1", "2", "3", "4"}));
  ASSERT_EQ(w.entries.size(), 190u);
  for (std::size_t i = 0; i < w.entries.size(); ++i) EXPECT_EQ(w.positions[i], static_cast<std::int64_t>(i + 1));
  EXPECT_EQ(w.entries[130].photo_id, w.entries[100].photo_id);
  EXPECT_EQ(w.entries[160].photo_id, w.entries[100].photo_id);
}

TEST_F(PhotoListService, AlbumIdTextVariantsReachTheAddress) {
  add_album(afsample::make_album("55", "A", 1));
  walk(walk_of("1001", "1", "55"));
  walk(walk_of("1001", "1", "55@@"));
  walk(walk_of("1001", "1", "1@@2@@3"));
  const auto recorded = service().requests_to("/photos/get_all");
  ASSERT_GE(recorded.size(), 3u);
  std::vector<std::string> stems;
  for (const auto& r : recorded) stems.push_back(r.query.substr(0, r.query.find("&__rnd=")));
  EXPECT_EQ(stems.front(), "uid=1001&album_id=55&count=100&page=1&type=");
  EXPECT_NE(std::find(stems.begin(), stems.end(), "uid=1001&album_id=55@@&count=100&page=1&type="), stems.end());
  EXPECT_NE(std::find(stems.begin(), stems.end(), "uid=1001&album_id=1@@2@@3&count=100&page=1&type="), stems.end());
}

TEST_F(PhotoListService, TenEmptyAnswersEndTheWalkAtThatPage) {
  add_album(afsample::make_album("55", "A", 250));
  afsample::Fault empty;
  empty.kind = afsample::FaultKind::Empty;
  empty.path = "/photos/get_all";
  empty.query_contains = "&page=2&";
  empty.times = 11;  // more than the tries: page 2 stays empty
  service().add_fault(empty);
  af::AlbumWalk w = walk_of("1001", "250", "55@@18");
  af::WalkFailure failure;
  w.failure = &failure;
  const Walked walked = walk(w);
  EXPECT_TRUE(walked.result);
  EXPECT_EQ(pages_requested(),
            (std::vector<std::string>{"1", "2", "2", "2", "2", "2", "2", "2", "2", "2", "2"}));
  // The ten tries of page 2 ask the same address.
  const auto recorded = service().requests_to("/photos/get_all");
  for (int i = 2; i < 11; ++i) EXPECT_EQ(recorded[i].target, recorded[1].target);
  EXPECT_EQ(walked.entries.size(), 100u);  // page 1 only; page 3 is left for a later run
  EXPECT_EQ(failure.page, 2);
  EXPECT_NE(failure.cause.find(G("空白")), std::string::npos);
  EXPECT_EQ(af::album_failure_line(G("甲"), failure).substr(0, 4), G("相册"));
}

TEST_F(PhotoListService, EmptyAnswerRetriedUntilItComes) {
  add_album(afsample::make_album("55", "A", 30));
  afsample::Fault empty;
  empty.kind = afsample::FaultKind::Empty;
  empty.path = "/photos/get_all";
  empty.times = 9;
  service().add_fault(empty);
  af::AlbumWalk w = walk_of("1001", "30", "55@@18");
  w.pacing.empty_page_retry = std::chrono::milliseconds(1);
  const Walked walked = walk(w);
  EXPECT_EQ(walked.entries.size(), 30u);
  EXPECT_EQ(pages_requested().size(), 11u);  // nine empty, page 1, page 2
}

TEST_F(PhotoListService, RealRetryWaitIsTwoSeconds) {
  add_album(afsample::make_album("55", "A", 3));
  afsample::Fault empty;
  empty.kind = afsample::FaultKind::Empty;
  empty.path = "/photos/get_all";
  empty.times = 2;
  service().add_fault(empty);
  af::AlbumWalk w = walk_of("1001", "3", "55@@18");
  w.pacing = af::Pacing{};
  ASSERT_EQ(w.pacing.empty_page_retry, std::chrono::milliseconds(2000));
  const auto start = std::chrono::steady_clock::now();
  const Walked walked = walk(w);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(walked.entries.size(), 3u);
  EXPECT_GE(elapsed, std::chrono::milliseconds(4000));
  EXPECT_LT(elapsed, std::chrono::seconds(60));
}

TEST_F(PhotoListService, SlowPageArrivesDroppedPageIsAskedAgain) {
  add_album(afsample::make_album("55", "A", 150));
  afsample::Fault slow;
  slow.kind = afsample::FaultKind::Slow;
  slow.path = "/photos/get_all";
  slow.query_contains = "&page=1&";
  slow.delay = std::chrono::milliseconds(200);
  slow.times = 1;
  service().add_fault(slow);
  // A connection cut mid-body is an answer that cannot be used: asked again.
  afsample::Fault drop;
  drop.kind = afsample::FaultKind::Drop;
  drop.path = "/photos/get_all";
  drop.query_contains = "&page=2&";
  drop.times = 1;
  service().add_fault(drop);
  af::AlbumWalk w = walk_of("1001", "150", "55@@18");
  const Walked walked = walk(w);
  EXPECT_TRUE(walked.result);
  EXPECT_EQ(walked.entries.size(), 150u);
  EXPECT_EQ(pages_requested(), (std::vector<std::string>{"1", "2", "2", "3"}));
}

TEST_F(PhotoListService, CallbackFalseStopsAndEndedGateReturnsFalse) {
  add_album(afsample::make_album("55", "A", 250));
  int seen = 0;
  EXPECT_TRUE(af::walk_album(walk_of("1001", "250", "55@@18"), [&](const af::PhotoEntry&, std::int64_t) {
    return ++seen < 5;
  }));
  EXPECT_EQ(seen, 5);
  EXPECT_EQ(pages_requested().size(), 1u);

  service().clear_requests();
  af::DownloadControl control;
  af::AlbumWalk w = walk_of("1001", "250", "55@@18");
  w.gate = &control;
  int handed = 0;
  EXPECT_FALSE(af::walk_album(w, [&](const af::PhotoEntry&, std::int64_t) {
    if (++handed == 120) control.end();
    return true;
  }));
  EXPECT_EQ(handed, 120);
  EXPECT_EQ(pages_requested().size(), 2u);

  // Ended during the retry wait: the walk returns at once, without the other tries.
  service().clear_requests();
  afsample::Fault empty;
  empty.kind = afsample::FaultKind::Empty;
  empty.path = "/photos/get_all";
  service().add_fault(empty);
  af::DownloadControl waiting;
  w.gate = &waiting;
  w.pacing.empty_page_retry = std::chrono::milliseconds(60000);
  std::thread ender([&] {
    EXPECT_TRUE(aftest::eventually([&] { return !service().requests_to("/photos/get_all").empty(); }))
        << "the first page request";
    waiting.end();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(walk(w).result);
  ender.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(pages_requested().size(), 1u);
}

TEST_F(PhotoListService, LockedAlbumPagesNeedTheSession) {
  auto album = afsample::make_album("55", "A", 3);
  album.requires_login = true;
  add_album(album);
  EXPECT_EQ(walk(walk_of("1001", "3", "55@@18")).entries.size(), 0u);
}

}  // namespace
