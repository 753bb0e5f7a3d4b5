// SPDX-License-Identifier: GPL-3.0-or-later
// The page a usable list answer carries, and how its members read, odd ones too: ids as numbers or texts,
// missing members, captions and addresses holding quote marks, backslashes, slashes or line breaks, and the
// total as a number, a text or neither.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "service/list_answer.h"
#include "util/codepage.h"
#include "util/json_document.h"

namespace {

af::AlbumPage page_of(const std::string& data) {
  af::JsonDocument root;
  EXPECT_TRUE(root.parse("{\"code\":0,\"data\":" + data + "}")) << data;
  return af::read_album_page(root);
}

struct AlbumCase {
  const char* name;
  const char* album;  // one element of data.album_list
  const char* id;
  const char* type;
  const char* caption;
  const char* cover;
  const char* photos;
};

class AlbumMemberText : public ::testing::TestWithParam<AlbumCase> {};

TEST_P(AlbumMemberText, AsTheListHasAlwaysReadIt) {
  const AlbumCase c = GetParam();
  const af::AlbumPage page = page_of(std::string("{\"album_list\":[") + c.album + "]}");
  ASSERT_EQ(page.albums.size(), 1u);
  const af::ListedAlbum& a = page.albums[0];
  EXPECT_EQ(a.album.id, c.id);
  EXPECT_EQ(a.album.type, c.type);
  EXPECT_EQ(a.caption, c.caption);
  EXPECT_EQ(a.cover, c.cover);
  EXPECT_EQ(a.photos.text, c.photos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AlbumMemberText,
    ::testing::Values(
        AlbumCase{"plain",
                  R"({"album_id":"123","type":"3","caption":"Trip","cover_pic":"http:\/\/h\/c.jpg",)"
                  R"("count":{"photos":5}})",
                  "123", "3", "Trip", "http://h/c.jpg", "5"},
        AlbumCase{"numbers", R"({"album_id":123,"type":18,"caption":7,"count":{"photos":"12"}})", "123", "18",
                  "7", "null", "12"},
        AlbumCase{"missing", R"({})", "null", "null", "null", "null", "null"},
        AlbumCase{"nulls", R"({"album_id":null,"caption":null,"cover_pic":null,"count":null})", "null",
                  "null", "null", "null", "null"},
        AlbumCase{"caption_escapes", R"({"caption":"\u65c5\/a %41 \\u0042"})", "null", "null",
                  "\xC2\xC3/a A B", "null", "null"},  // 旅 in GBK
        // A quote mark reads as the backslash before it, which escapes what follows: at
        // the end nothing is left of the caption.
        AlbumCase{"caption_quote", R"({"caption":"say \"hi\" now"})", "null", "null", "say hi now", "null",
                  "null"},
        AlbumCase{"caption_quote_last", R"({"caption":"say \"hi\""})", "null", "null", "", "null", "null"},
        AlbumCase{"caption_quote_before_n", R"({"caption":"\"new\" x"})", "null", "null", "\new x", "null",
                  "null"},
        AlbumCase{"caption_backslash", R"({"caption":"a\\b"})", "null", "null", "a\\b", "null", "null"},
        AlbumCase{"caption_line_feed", R"({"caption":"a\nb\r\nc"})", "null", "null", "a\nb\r\nc", "null",
                  "null"},
        AlbumCase{"cover_odd", R"({"cover_pic":"http:\/\/h\\x\"y.jpg"})", "null", "null", "null",
                  "http://hxy.jpg", "null"},
        AlbumCase{"id_odd", R"({"album_id":"1/2\"3","type":true})", "1\\/2\\3", "true", "null", "null",
                  "null"},
        AlbumCase{"photos_odd", R"({"count":{"photos":2.5}})", "null", "null", "null", "null", "2.500000"},
        AlbumCase{"photos_object", R"({"count":{"photos":{"n":"1"}}})", "null", "null", "null", "null",
                  "{n:1}"}),
    [](const auto& info) { return std::string(info.param.name); });

struct TotalCase {
  const char* name;
  const char* data;
  std::int32_t total;
};

class AlbumPageTotal : public ::testing::TestWithParam<TotalCase> {};

TEST_P(AlbumPageTotal, ReadAsAnInteger) { EXPECT_EQ(page_of(GetParam().data).total, GetParam().total); }

INSTANTIATE_TEST_SUITE_P(
    Cases, AlbumPageTotal,
    ::testing::Values(TotalCase{"number", R"({"total":12})", 12}, TotalCase{"text", R"({"total":"12"})", 12},
                      TotalCase{"missing", R"({})", 0}, TotalCase{"null", R"({"total":null})", 0},
                      TotalCase{"words", R"({"total":"many"})", 0},
                      TotalCase{"digits_then_words", R"({"total":"12 albums"})", 12},
                      TotalCase{"spaces_first", R"({"total":" 12"})", 12},
                      TotalCase{"tab_first", R"({"total":"\t12"})", 0},
                      TotalCase{"fraction", R"({"total":12.9})", 12},
                      TotalCase{"negative", R"({"total":-3})", -3},
                      TotalCase{"beyond_32_bits", R"({"total":99999999999})", 2147483647},
                      TotalCase{"boolean", R"({"total":true})", 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct PhotoCase {
  const char* name;
  const char* item;
  const char* photo_id;
  const char* timestamp;
  const char* image_address;
  const char* caption_render;
  const char* caption_full;
};

class PhotoMemberText : public ::testing::TestWithParam<PhotoCase> {};

TEST_P(PhotoMemberText, AsTheListHasAlwaysReadIt) {
  const PhotoCase c = GetParam();
  af::JsonDocument item;
  ASSERT_TRUE(item.parse(c.item));
  const af::PhotoEntry e = af::read_photo_entry(item);
  EXPECT_EQ(e.photo_id, c.photo_id);
  EXPECT_EQ(e.timestamp, c.timestamp);
  EXPECT_EQ(e.image_address, c.image_address);
  EXPECT_EQ(e.caption_render, c.caption_render);
  EXPECT_EQ(e.caption_full, c.caption_full);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PhotoMemberText,
    ::testing::Values(PhotoCase{"caption_slash", R"({"photo_id":7,"timestamp":"1","caption_render":"a/b"})",
                                "7", "1", "null/large/null", "a\\/b", "a/b"},
                      PhotoCase{"caption_quote", R"({"caption_render":"say \"hi\""})", "null", "null",
                                "null/large/null", "say \\hi\\", "say \"hi\""},
                      PhotoCase{"caption_line_feed", R"({"caption_render":"a\nb"})", "null", "null",
                                "null/large/null", "a\\nb", "a\nb"},
                      PhotoCase{"caption_number", R"({"caption_render":5,"timestamp":1.5})", "null",
                                "1.500000", "null/large/null", "5", "5"},
                      PhotoCase{"address_odd", R"({"pic_host":"http:\/\/h\\\"","pic_name":"a\tb.jpg"})",
                                "null", "null", "http://h/large/atb.jpg", "null", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The answer is judged and read from one parse: a usable one carries the page of its
// kind, an unusable one none.
TEST(ListAnswerPage, UsableAnswersCarryThePageOfTheirKind) {
  const std::string albums =
      R"({"code":0,"data":{"total":"3","album_list":[{"album_id":1},{"album_id":"2"}]}})";
  const af::ListAnswer album_answer = af::judge_list_answer(200, albums, "album_list", "");
  ASSERT_TRUE(album_answer.usable);
  EXPECT_EQ(album_answer.album_page.total, 3);
  ASSERT_EQ(album_answer.album_page.albums.size(), 2u);
  EXPECT_EQ(album_answer.album_page.albums[1].album.id, "2");
  EXPECT_TRUE(album_answer.photos.empty());

  const std::string photos = R"({"code":"0","data":{"photo_list":[{"photo_id":"5"},{"photo_id":6}]}})";
  const af::ListAnswer photo_answer = af::judge_list_answer(200, photos, "photo_list", "");
  ASSERT_TRUE(photo_answer.usable);
  ASSERT_EQ(photo_answer.photos.size(), 2u);
  EXPECT_EQ(photo_answer.photos[0].photo_id, "5");
  EXPECT_EQ(photo_answer.photos[1].photo_id, "6");
  EXPECT_TRUE(photo_answer.album_page.albums.empty());

  // Usable on its code alone: an empty page.
  EXPECT_TRUE(af::judge_list_answer(200, R"({"code":0,"data":{}})", "photo_list", "").photos.empty());
  const af::ListAnswer refused =
      af::judge_list_answer(200, R"({"code":1,"data":{"photo_list":[{}]}})", "photo_list", "");
  EXPECT_FALSE(refused.usable);
  EXPECT_TRUE(refused.photos.empty());
}

}  // namespace
