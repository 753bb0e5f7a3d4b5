// SPDX-License-Identifier: GPL-3.0-or-later
// albumfetcher-cli downloads: the chosen albums and their file tree, the log on standard
// output, the two options of the settings file overridden for one run (and the file left
// alone), cookies that unlock an album, the exit status of failed photos, and names with
// characters GBK lacks.
#include <ctime>

#include "cli_fixture.h"
#include "core/settings.h"
#include "download/record_store.h"

namespace aftest::cli {
namespace {

using afsample::make_album;
using afsample::make_user;

class CliDownloadTest : public CliTest {
 protected:
  static void write_switches(const char* record, const char* range) {
    af::write_setting(af::settings_section(), af::record_key(), record);
    af::write_setting(af::settings_section(), af::range_key(), range);
  }
};

TEST_F(CliDownloadTest, ChosenAlbumsAreSavedInTheWindowsTreeWithTheWindowsLog) {
  auto user = make_user("2001", "/u/2001", "Some One's page");
  user.albums.push_back(make_album("3558936311000001", "Trip. 2013", 3));
  user.albums.push_back(make_album("3558936311000002", "Skipped", 4));
  user.albums.push_back(make_album("3558936311000003", "\xE5\xAE\xB6\xE4\xBA\xBA", 5, 2));  // 家人, GIFs
  service().add_user(user);

  const CliResult result = run_with({"--albums", "3,1", home(user)});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "正努力获取相册列表，耐心等待哈！\n\n" + std::string(kSignedOutNote) +
                "-----获取完毕,共计3个\n\n"
            "当前被选择相册编号:1、3、\n\n"
            "准备下载相册《Trip. 2013》\n\n"
            "---完成相册《Trip20133》下载\n\n"
            "准备下载相册《家人》\n\n"
            "---完成相册《家人5》下载\n\n"
            "相册浏览页：" + save_.path() + "/SomeOne'spage/相册浏览.html\n\n"
            "-------全部下载完毕--------\n\n");
  EXPECT_NE(result.err.find("信息：全部下载完毕"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("总共需下载[2]个相册"), std::string::npos) << result.err;

  auto expected = album_files(user, user.albums[0]);
  expected.merge(album_files(user, user.albums[2]));
  EXPECT_EQ(files_under(save_.path()), expected);
  EXPECT_TRUE(service().requests_to("/large/" + user.albums[1].photos[0].pic_name).empty());
}

TEST_F(CliDownloadTest, JobsChangeNeitherTheOutputNorTheFilesNorTheSettings) {
  auto user = make_user("2006", "/u/2006", "T");
  user.albums.push_back(make_album("3558936316000001", "A", 23, 4));
  user.albums[0].photos[6].image_fault_status = 404;  // one failed photo among the others
  user.albums[0].photos[6].image_fault_times = -1;
  service().add_user(user);
  af::write_setting(af::settings_section(), af::jobs_key(), "2");
  const std::string settings = read_file(af::settings_path());

  const CliResult alone = run_with({"--jobs", "1", home(user)});
  const auto files_alone = files_under(save_.path());
  std::filesystem::remove_all(save_.path());
  std::filesystem::create_directories(save_.path());
  const CliResult together = run_with({"--jobs", "6", home(user)});
  EXPECT_EQ(alone.exit_code, 1);
  EXPECT_EQ(together.exit_code, 1);
  EXPECT_EQ(alone.out, together.out);
  EXPECT_NE(together.out.find("失败"), std::string::npos);
  EXPECT_EQ(files_under(save_.path()), files_alone);
  EXPECT_EQ(files_alone.size(), 22u);
  EXPECT_EQ(read_file(af::settings_path()), settings);
}

TEST_F(CliDownloadTest, AllAlbumsGoToTheProgramDirectoryByDefault) {
  auto user = make_user("2002", "/u/2002", "Title");
  user.albums.push_back(make_album("3558936312000001", "A", 2));
  user.albums.push_back(make_album("3558936312000002", "B", 3));
  service().add_user(user);

  std::vector<std::string> args = base_args();
  args.push_back(home(user));
  const CliResult result = run(args);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("当前被选择相册编号:1、2、\n"), std::string::npos) << result.out;
  auto expected = album_files(user, user.albums[0]);
  expected.merge(album_files(user, user.albums[1]));
  for (const auto& [path, bytes] : expected) {
    EXPECT_TRUE(std::filesystem::exists(program_.file(path))) << path;
    EXPECT_EQ(read_file(program_.file(path)), bytes) << path;
  }
}

TEST_F(CliDownloadTest, RecordOptionOverridesTheSettingsFileWhichStaysUntouched) {
  auto user = make_user("2003", "/u/2003", "T");
  user.albums.push_back(make_album("3558936313000001", "A", 4));
  service().add_user(user);
  write_switches("1", "0");
  const std::string settings = read_file(af::settings_path());

  // First run: everything fetched and recorded.
  ASSERT_EQ(run_with({home(user)}).exit_code, 0);
  EXPECT_EQ(image_requests(), 4u);
  // The settings file says record on: nothing is fetched again.
  service().clear_requests();
  ASSERT_EQ(run_with({home(user)}).exit_code, 0);
  EXPECT_EQ(image_requests(), 0u);
  // --record off wins over the file.
  service().clear_requests();
  ASSERT_EQ(run_with({"--record", "off", home(user)}).exit_code, 0);
  EXPECT_EQ(image_requests(), 4u);

  write_switches("0", "0");
  const std::string off_settings = read_file(af::settings_path());
  // The file says off; --record on wins.
  service().clear_requests();
  ASSERT_EQ(run_with({"--record", "on", home(user)}).exit_code, 0);
  EXPECT_EQ(image_requests(), 0u);
  EXPECT_EQ(read_file(af::settings_path()), off_settings);
  EXPECT_NE(settings, off_settings);
}

TEST_F(CliDownloadTest, SettingsFileIsNeverWritten) {
  auto user = make_user("2004", "/u/2004", "T");
  user.albums.push_back(make_album("3558936314000001", "A", 2));
  service().add_user(user);

  // No file: none appears, whatever the options.
  ASSERT_EQ(run_with({"--record", "on", "--range", "2013-04-01", "2013-05-01", home(user)}).exit_code, 0);
  EXPECT_FALSE(std::filesystem::exists(af::settings_path()));

  // A file: the same bytes and the same modification time afterwards.
  write_switches("1", "1");
  const std::string before = read_file(af::settings_path());
  const auto time_before = std::filesystem::last_write_time(af::settings_path());
  ASSERT_EQ(run_with({"--record", "off", "--range", "off", home(user)}).exit_code, 0);
  EXPECT_EQ(read_file(af::settings_path()), before);
  EXPECT_EQ(std::filesystem::last_write_time(af::settings_path()), time_before);
}

struct RangeCase {
  const char* name;
  const char* range_setting;         // the settings file's 时间段
  std::vector<std::string> options;  // before the address
  af::DateTime from;                 // the bounds that must apply, when on
  af::DateTime to;
  bool on;
  const char* stored_from = nullptr;  // the settings file's 开始时间 and 结束时间, when set
  const char* stored_to = nullptr;
};

class CliRangeTest : public CliDownloadTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(CliRangeTest, RangeOptionOrSettingDecidesWhichPhotosAreSaved) {
  const RangeCase& c = GetParam();
  auto user = make_user("2005", "/u/2005", "T");
  auto album = make_album("3558936315000001", "A", 30);  // hourly from 2013-04-03 22:40 CST
  // Uploaded an hour ago: today's photo is in whenever the range is left at its start dates.
  album.photos.back().timestamp = std::time(nullptr) - 3600;
  user.albums.push_back(album);
  service().add_user(user);
  write_switches("0", c.range_setting);
  if (c.stored_from) af::write_setting(af::settings_section(), af::range_start_key(), c.stored_from);
  if (c.stored_to) af::write_setting(af::settings_section(), af::range_end_key(), c.stored_to);

  std::vector<std::string> args = c.options;
  args.push_back(home(user));
  const CliResult result = run_with(args);
  ASSERT_EQ(result.exit_code, 0) << result.err;

  const af::UploadRange bounds = af::upload_range(c.on, c.from, c.to);
  std::map<std::string, std::string> expected;
  for (std::size_t i = 0; i < album.photos.size(); ++i)
    if (bounds.admits(album.photos[i].timestamp))
      expected[album_path(user, album) + "/" + photo_name(album.photos[i], static_cast<int>(i + 1))] =
          service().image_bytes(album.photos[i].pic_name);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(files_under(save_.path()), expected);
  // With the start dates, the photo of an hour ago is among those saved.
  if (c.on && c.options.empty() && !c.stored_from) {
    EXPECT_TRUE(bounds.admits(album.photos.back().timestamp));
  }

  // A range that comes from the settings file alone is named on standard error.
  const std::string note = "upload-time range on in peizi.ini: only photos uploaded after " +
                           af::date_text(c.from) + " and before " + af::date_text(c.to);
  if (c.on && c.options.empty())
    EXPECT_NE(result.err.find(note), std::string::npos) << result.err;
  else
    EXPECT_EQ(result.err.find("upload-time range"), std::string::npos) << result.err;
  EXPECT_EQ(result.out.find("upload-time range"), std::string::npos) << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliRangeTest,
    ::testing::Values(
        // One day: 2013-04-04 00:40 to 23:40 pass; the photo at 22:40 the day before and
        // those of the end date itself do not.
        RangeCase{"OptionOverSettingOff", "0", {"--range", "2013-04-04", "2013-04-05"},
                  {2013, 4, 4}, {2013, 4, 5}, true},
        RangeCase{"OptionOverSettingOn", "1", {"--range", "2013-04-04", "2013-04-05"},
                  {2013, 4, 4}, {2013, 4, 5}, true},
        RangeCase{"OffOverSettingOn", "1", {"--range", "off"}, {}, {}, false},
        // The setting alone: the window's date pickers at their start values.
        RangeCase{"SettingOnWindowDates", "1", {}, {2006, 3, 30}, af::range_end_default(), true},
        RangeCase{"SettingOnStoredDates", "1", {}, {2013, 4, 4}, {2013, 4, 5}, true, "2013-04-04", "2013-04-05"},
        RangeCase{"OptionOverStoredDates", "1", {"--range", "2013-04-03", "2013-04-04"},
                  {2013, 4, 3}, {2013, 4, 4}, true, "2013-04-04", "2013-04-05"},
        RangeCase{"SettingOff", "0", {}, {}, {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

class CliCookieTest : public CliDownloadTest {};

TEST_F(CliCookieTest, WithoutCookiesTheLockedAlbumIsNotListed) {
  auto user = locked_user();
  service().add_user(user);
  const CliResult result = run_with({"--list", home(user)});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out.find("Locked"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("1\tOpen\t2\n"), std::string::npos) << result.out;
}

TEST_F(CliCookieTest, CookieFileUnlocksTheAlbumForListAndDownload) {
  auto user = locked_user();
  service().add_user(user);
  // As a browser exports it: a session cookie, HttpOnly.
  const std::string cookies = output_.file("exported.txt");
  write_file(cookies, "# Netscape HTTP Cookie File\n\n#HttpOnly_127.0.0.1\tFALSE\t/\tFALSE\t0\t" +
                          std::string(afsample::SampleService::kSessionCookie) + "\t" +
                          service().new_session() + "\n");
  const std::string cookie_bytes = read_file(cookies);

  const CliResult list = run_with({"--cookies", cookies, "--list", home(user)});
  EXPECT_EQ(list.exit_code, 0) << list.err;
  EXPECT_NE(list.out.find("2\tLocked\t3\n"), std::string::npos) << list.out;

  const CliResult download = run_with({"--cookies", cookies, "--albums", "2", home(user)});
  EXPECT_EQ(download.exit_code, 0) << download.err;
  EXPECT_EQ(files_under(save_.path()), album_files(user, user.albums[1]));
  // The file is read, never written; the program's own store is not created either.
  EXPECT_EQ(read_file(cookies), cookie_bytes);
  EXPECT_FALSE(std::filesystem::exists(program_.file("cookies.txt")));
}

TEST_F(CliCookieTest, TheWindowsSavedLoginCountsByDefault) {
  auto user = locked_user();
  service().add_user(user);
  // The store the window saves in the program directory keeps persistent cookies.
  const long long tomorrow = static_cast<long long>(std::time(nullptr)) + 86400;
  write_file(program_.file("cookies.txt"), "127.0.0.1\tFALSE\t/\tFALSE\t" + std::to_string(tomorrow) + "\t" +
                                               afsample::SampleService::kSessionCookie + "\t" +
                                               service().new_session() + "\n");
  const CliResult result = run_with({"--list", home(user)});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("2\tLocked\t3\n"), std::string::npos) << result.out;
}

TEST_F(CliDownloadTest, FailedPhotoLogsItsLineAndExitsWithOne) {
  auto user = make_user("2007", "/u/2007", "T");
  auto album = make_album("3558936317000001", "A", 4);
  album.photos[1].image_fault_status = 404;
  album.photos[1].image_fault_times = -1;
  user.albums.push_back(album);
  service().add_user(user);

  const CliResult result = run_with({home(user)});
  EXPECT_EQ(result.exit_code, 1) << result.err;
  const std::string failure = "失败" + album.photos[1].photo_id + "微博id" + album.photos[1].feed_id + "\n";
  EXPECT_NE(result.out.find(failure), std::string::npos) << result.out;
  // The log goes on to the end, in the window's order.
  EXPECT_LT(result.out.find(failure), result.out.find("---完成相册《A4》下载"));
  auto expected = album_files(user, album);
  expected.erase(album_path(user, album) + "/" + photo_name(album.photos[1], 2));
  EXPECT_EQ(files_under(save_.path()), expected);
}


// Names with characters GBK lacks (an emoji, Hangul, 𠮷 outside GBK) keep every one, whether
// the lists send them as raw UTF-8 or as \u escapes: in the folder and file names, the album
// index, the gallery page and the log.
class CliCaptionFormTest : public CliTest, public ::testing::WithParamInterface<afsample::CaptionForm> {};

TEST_P(CliCaptionFormTest, EveryCharacterOfTheNamesReachesTheDisk) {
  auto user = make_user("2008", "/u/2008", "小猫🐱");  // a home page is raw UTF-8 anyway
  auto album = make_album("3558936318000001", "猫🐱고양이𠮷", 2);
  album.caption_form = GetParam();
  album.photos[0].caption_render = "猫🐱고양이";
  album.photos[1].caption_render = "𠮷野家";
  for (auto& photo : album.photos) photo.caption_form = GetParam();
  user.albums.push_back(album);
  service().add_user(user);

  const CliResult result = run_with({home(user)});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("---完成相册《猫🐱고양이𠮷2》下载"), std::string::npos) << result.out;
  const std::string folder = "小猫🐱/猫🐱고양이𠮷2/";
  const afsample::SamplePhoto &first = album.photos[0], &second = album.photos[1];
  EXPECT_EQ(files_under(save_.path()),
            (std::map<std::string, std::string>{
                {folder + "1_猫🐱고양이_" + first.feed_id + ".jpg", service().image_bytes(first.pic_name)},
                {folder + "2_𠮷野家_" + second.feed_id + ".jpg", service().image_bytes(second.pic_name)}}));
  const std::string index = read_file(save_.file(folder + std::string(af::kAlbumIndexName)));
  const std::string gallery = read_file(save_.file("小猫🐱/" + std::string(af::kGalleryPageName)));
  for (const char* text : {"\"猫🐱고양이\"", "\"𠮷野家\"", "\"猫🐱고양이𠮷\""}) {
    EXPECT_NE(index.find(text), std::string::npos) << text << "\n" << index;
    EXPECT_NE(gallery.find(text), std::string::npos) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, CliCaptionFormTest,
                         ::testing::Values(afsample::CaptionForm::Escaped, afsample::CaptionForm::RawUtf8),
                         [](const auto& info) -> std::string {
                           return info.param == afsample::CaptionForm::RawUtf8 ? "raw_utf8" : "escaped";
                         });

}  // namespace
}  // namespace aftest::cli
