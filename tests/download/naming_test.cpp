// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/naming.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>

#include "core/paths.h"
#include "temp_folder.h"
#include "util/codepage.h"

namespace af {
namespace {

struct SanitizeCase {
  std::string input;
  std::string expected;
};

class SanitizeName : public ::testing::TestWithParam<SanitizeCase> {};

TEST_P(SanitizeName, RemovesTheListedTexts) {
  EXPECT_EQ(sanitize_name(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SanitizeName,
    ::testing::Values(
        SanitizeCase{"", ""}, SanitizeCase{"plain", "plain"},
        SanitizeCase{"a:b\\c/d?e*f<g>h|i", "abcdefghi"},
        SanitizeCase{G("春：游、好？吗。（一）·二！三，四"), G("春游好吗一二三四")},
        SanitizeCase{"a.b c", "abc"}, SanitizeCase{"x...y", "xy"},
        SanitizeCase{"Tom & Jerry", "TomJerry"},
        SanitizeCase{"../../etc/passwd", "etcpasswd"},
        // Full-width spaces stay (only the file caption drops them); tabs stay too.
        SanitizeCase{G("a　b\tc"), G("a　b\tc")},
        // A two-byte character whose second byte is "\" or "|" is never cut.
        SanitizeCase{"\x81\x5c\\\x81\x7c|", "\x81\x5c\x81\x7c"},
        SanitizeCase{G("《相册》"), G("《相册》")}));

TEST(FileCaption, AlsoDropsQuestionMarksEverySpaceAndControlCharacters) {
  EXPECT_EQ(file_caption(G("春 游　2013?")), G("春游2013"));
  EXPECT_EQ(file_caption(G("：、？。（）·！，...")), "");
  EXPECT_EQ(file_caption(std::string("a\tb\nc\x7f\x01" "d\0e", 10)), "abcde");
  EXPECT_EQ(file_caption("3558/../x"), "3558x");
}

TEST(PhotoFileName, IsNumberCaptionFeedIdExtension) {
  EXPECT_EQ(photo_file_name(17, "cap", "3558", ".jpg"), "17_cap_3558.jpg");
  EXPECT_EQ(photo_file_name(3, "", "99", ".gif"), "3__99.gif");
  // The number is the photo's position, never held at the progress bar's 32767.
  EXPECT_EQ(photo_file_name(40000, "c", "f", ".jpg"), "40000_c_f.jpg");
}

struct TimestampCase {
  DateTime value;
  std::int64_t expected;
};

class DatetimeToTimestamp : public ::testing::TestWithParam<TimestampCase> {};

TEST_P(DatetimeToTimestamp, CountsFromChinaStandardTimeEpoch) {
  EXPECT_EQ(datetime_to_timestamp(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DatetimeToTimestamp,
    ::testing::Values(TimestampCase{{1970, 1, 1, 8, 0, 0}, 0},
                      TimestampCase{{1970, 1, 1, 0, 0, 0}, -28800},
                      TimestampCase{{2006, 3, 30, 0, 0, 0}, 1143648000},
                      TimestampCase{{2013, 4, 3, 0, 0, 0}, 1364918400},
                      TimestampCase{{2025, 12, 30, 0, 0, 0}, 1767024000},
                      TimestampCase{{2024, 2, 29, 23, 59, 59}, 1709222399}));

TEST(DatetimeToTimestampZone, IgnoresTheMachineTimeZone) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  for (const char* zone : {"UTC", "America/New_York", "Asia/Shanghai", "Pacific/Kiritimati"}) {
    ::setenv("TZ", zone, 1);
    ::tzset();
    EXPECT_EQ(datetime_to_timestamp({2013, 4, 3, 0, 0, 0}), 1364918400) << zone;
  }
  if (old) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");
  ::tzset();
}

// The end date starts as "no end": the fixed date while it lies ahead, tomorrow in China
// Standard Time once it has passed (the day turns at 16:00 UTC).
TEST(RangeEndDefault, FixedDateUntilItPassesThenTomorrowInChina) {
  struct Case {
    std::int64_t now;
    int year, month, day;
  };
  for (const Case& c : {Case{1700000000, 2025, 12, 30},    // 2023-11-14
                        Case{1766937599, 2025, 12, 30},    // 2025-12-28 23:59:59 CST
                        Case{1767024000, 2025, 12, 31},    // 2025-12-30 00:00 CST
                        Case{1796054399, 2026, 12, 1},     // 2026-11-30 23:59:59 CST
                        Case{1796054400, 2026, 12, 2}}) {  // 2026-12-01 00:00 CST
    const DateTime end = range_end_default(c.now);
    EXPECT_EQ(std::make_tuple(end.year, end.month, end.day), std::make_tuple(c.year, c.month, c.day))
        << c.now;
  }
}

TEST(UploadRange, OffGivesTheWideBounds) {
  const UploadRange range = upload_range(false, {2013, 1, 1}, {2013, 1, 2});
  EXPECT_EQ(range.start, 0);
  EXPECT_EQ(range.end, 9999999999);
  struct Case {
    std::int64_t t;
    bool admitted;
  };
  for (auto [t, admitted] : {Case{0, false}, Case{-5, false}, Case{1, true},
                             Case{9999999998, true}, Case{9999999999, false}})
    EXPECT_EQ(range.admits(t), admitted) << t;
}

TEST(UploadRange, OnIsStrictAtMidnightBounds) {
  const UploadRange range = upload_range(true, {2013, 4, 3}, {2013, 4, 5});
  const std::int64_t start = 1364918400;            // 2013-04-03 00:00:00 CST
  const std::int64_t end = start + 2 * 86400;       // 2013-04-05 00:00:00 CST
  EXPECT_EQ(range.start, start);
  EXPECT_EQ(range.end, end);
  EXPECT_FALSE(range.admits(start));
  EXPECT_TRUE(range.admits(start + 1));
  EXPECT_TRUE(range.admits(end - 1));
  EXPECT_FALSE(range.admits(end));
  EXPECT_FALSE(range.admits(end + 3600));  // on the end date itself
}

TEST(UploadRange, SameDateInBothPickersAdmitsNothing) {
  const UploadRange range = upload_range(true, {2013, 4, 3}, {2013, 4, 3});
  for (std::int64_t t = 1364918400 - 2; t <= 1364918400 + 2; ++t) EXPECT_FALSE(range.admits(t));
}

TEST(AlbumFolder, JoinsSaveBoxUserFolderAndAlbumName) {
  const AlbumFolder folder = album_folder("/data/photos", G("小明的微博"), "a.b c", "12");
  EXPECT_EQ(folder.user_folder, G("小明的微博"));
  EXPECT_EQ(folder.name, "abc12");
  EXPECT_EQ(folder.path, "/data/photos/" + std::string("小明的微博") + "/abc12");
}

TEST(AlbumFolder, EmptySaveBoxMeansTheProgramDirectory) {
  testing::TempFolder temp;
  temp.use_as_program_directory();
  const AlbumFolder folder = album_folder("", G("用户: 标题"), G("旅行（一）"), "7");
  EXPECT_EQ(folder.user_folder, G("用户标题"));
  EXPECT_EQ(folder.name, G("旅行一7"));
  EXPECT_EQ(folder.path, temp.path() + "/用户标题/旅行一7");
}

TEST(AlbumFolder, NothingFromTheServiceClimbsOut) {
  const AlbumFolder folder = album_folder("/save", "../..", "../x", "/../12");
  EXPECT_EQ(folder.path, "/save/x12");
  EXPECT_EQ(folder.path.find(".."), std::string::npos);
}

}  // namespace
}  // namespace af

namespace af {
namespace {

struct FittedNameCase {
  std::string caption;  // UTF-8
  std::string feed_id;
  std::string expected;  // UTF-8
};

class FittedPhotoFileName : public ::testing::TestWithParam<FittedNameCase> {};

TEST_P(FittedPhotoFileName, ShortensOnlyTheCaptionAtACharacterBoundary) {
  const auto& c = GetParam();
  const std::string name = fitted_photo_file_name(12, G(c.caption.c_str()), c.feed_id, ".jpg");
  EXPECT_EQ(name, c.expected);
  EXPECT_LE(name.size(), kLongestFileName);
}

std::string repeated(const std::string& text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i) result += text;
  return result;
}

// "12_" + caption + "_" + 16-digit feed id + ".jpg": 24 bytes around the caption, 231 left.
INSTANTIATE_TEST_SUITE_P(
    Cases, FittedPhotoFileName,
    ::testing::Values(
        FittedNameCase{"春游", "3560000000000001", "12_春游_3560000000000001.jpg"},
        FittedNameCase{"", "3560000000000001", "12__3560000000000001.jpg"},
        FittedNameCase{std::string(231, 'x'), "3560000000000001",
                       "12_" + std::string(231, 'x') + "_3560000000000001.jpg"},
        FittedNameCase{std::string(232, 'x'), "3560000000000001",
                       "12_" + std::string(231, 'x') + "_3560000000000001.jpg"},
        // 77 ideographs are 231 bytes; the 78th does not fit, nor a part of it.
        FittedNameCase{repeated("春", 200), "3560000000000001",
                       "12_" + repeated("春", 77) + "_3560000000000001.jpg"},
        FittedNameCase{"x" + repeated("春", 200), "3560000000000001",
                       "12_x" + repeated("春", 76) + "_3560000000000001.jpg"},
        // The fixed parts are never cut, even when nothing of the caption fits.
        FittedNameCase{"春", std::string(246, '7'), "12__" + std::string(246, '7') + ".jpg"}));

TEST(FittedPhotoFileName, AFeedIdTooLongForAnyNameIsShortenedToo) {
  // 300 characters of post id from a broken answer: the caption goes, then the post id is
  // cut at a character boundary; the number keeps two photos of the post apart.
  EXPECT_EQ(fitted_photo_file_name(1, "a", std::string(300, '7'), ".jpg"),
            "1__" + std::string(248, '7') + ".jpg");
  EXPECT_EQ(fitted_photo_file_name(32767, "a", std::string(300, '7'), ".gif"),
            "32767__" + std::string(244, '7') + ".gif");
  const std::string ideographs = fitted_photo_file_name(2, "", G(repeated("春", 100).c_str()), ".jpg");
  EXPECT_EQ(ideographs, "2__" + repeated("春", 82) + ".jpg");  // 246 bytes: a 83rd would not fit
}

TEST(PhotoFileNameFitsInCharacters, CountsCharactersNotBytes) {
  // 200 ideographs: more than 255 bytes of UTF-8, but within 255 characters.
  EXPECT_TRUE(photo_file_name_fits_in_characters(1, G(repeated("春", 200).c_str()), "99", ".jpg"));
  EXPECT_FALSE(photo_file_name_fits_in_characters(1, std::string(250, 'x'), "99", ".jpg"));
}

}  // namespace
}  // namespace af

namespace af {
namespace {

TEST(PhotoNameVariant, ThePhotoIdThenANumberBeforeTheExtensionWithinTheLongestName) {
  EXPECT_EQ(photo_name_variant("1_春游_356.jpg", "3800", 1), "1_春游_356_3800.jpg");
  EXPECT_EQ(photo_name_variant("1_春游_356.jpg", "3800", 3), "1_春游_356_3800-3.jpg");
  EXPECT_EQ(photo_name_variant("noextension", "", 1), "noextension-1");
  const std::string longest = photo_name_variant(std::string(300, 'x') + ".gif", "3800", 2);
  EXPECT_EQ(longest, std::string(kLongestFileName - 11, 'x') + "_3800-2.gif");
}

// A folder without an index is known by the names a download gives the album.
TEST(NamedAsAlbum, ItsCleanedNameDigitsAndAtMostItsId) {
  const AlbumNaming album{G("旅 行"), "5", "38001"};
  const AlbumNaming unnamed{"", "5", "38002"};
  struct Case {
    std::string folder;
    const AlbumNaming& album;
    bool named;
  };
  for (const Case& c : {Case{"旅行3", album, true}, Case{"旅行12_38001", album, true}, Case{"旅行", album, false},
                        Case{"旅行3_38002", album, false}, Case{"旅行x3", album, false}, Case{"旅行3 副本", album, false},
                        Case{"5_38002", unnamed, true}, Case{"5", unnamed, false}})
    EXPECT_EQ(named_as_album(c.folder, c.album), c.named) << c.folder;
}

}  // namespace
}  // namespace af
