// SPDX-License-Identifier: GPL-3.0-or-later
// What an album folder keeps for an archive: photo files dated by their upload time, and
// the album index with every saved photo's whole caption, post and times.
#include "download/archive.h"
#include "download/index_scan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "download/verify.h"
#include "download_fixture.h"
#include "service/photo_list.h"
#include "util/sha256.h"

namespace af {
namespace {

namespace fs = std::filesystem;
using testing::DownloadTest;

// ---- pieces ----

TEST(UploadTime, OnlyWholeNumbersCount) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> seconds;
  };
  for (const Case& c :
       {Case{"1365000000", 1365000000}, Case{"0", 0}, Case{"-3600", -3600}, Case{"", std::nullopt},
        Case{"null", std::nullopt}, Case{" 12", std::nullopt}, Case{"12a", std::nullopt}, Case{"1.5", 1},
        Case{"1.", std::nullopt}, Case{"-", std::nullopt}, Case{"99999999999999999999", std::nullopt}})
    EXPECT_EQ(upload_time(c.text), c.seconds) << c.text;
}

TEST(ChinaTimeText, IsIso8601WithTheChinaOffset) {
  EXPECT_EQ(china_time_text(0), "1970-01-01T08:00:00+08:00");
  EXPECT_EQ(china_time_text(1365000000), "2013-04-03T22:40:00+08:00");
  EXPECT_EQ(china_time_text(951753600), "2000-02-29T00:00:00+08:00");  // 2000-02-28 16:00 UTC
  EXPECT_EQ(china_time_text(-28801), "1969-12-31T23:59:59+08:00");
}

// The JSON object of a line, for looking at its members.
struct ParsedLine {
  json_object* object = nullptr;
  explicit ParsedLine(const std::string& line) : object(json_tokener_parse(line.c_str())) {}
  ~ParsedLine() { json_object_put(object); }
  std::string text(const char* key) const {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(object, key, &value) || !json_object_is_type(value, json_type_string))
      return "<not a text>";
    return json_object_get_string(value);
  }
  bool is_null(const char* key) const {
    json_object* value = nullptr;
    return json_object_object_get_ex(object, key, &value) && value == nullptr;
  }
  std::int64_t number(const char* key) const {
    json_object* value = nullptr;
    json_object_object_get_ex(object, key, &value);
    return json_object_get_int64(value);
  }
};

TEST(IndexLine, CaptionsSurviveByteForByteInUtf8) {
  // Quotes, backslashes, control characters, an emoji (GB18030 four bytes inside the
  // engine) and characters that exist in GBK only as two-byte forms.
  const std::string caption = "He said \"hi\" \\ C:\\path\ttab\nline 😀 鍾髙 €";
  IndexedPhoto photo;
  photo.file_name = "1_x_9.jpg";
  photo.photo_id = "3456";
  photo.feed_id = "789";
  photo.timestamp = "1365000000";
  photo.caption = utf8_to_gb18030(caption);
  photo.image_address = "http://ww1.sinaimg.cn/large/a.jpg";
  photo.album_id = "55";
  photo.album_caption = G("旅行");
  photo.saved_at = 1700000000;
  const std::string line = index_line(photo);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  ParsedLine parsed(line);
  ASSERT_NE(parsed.object, nullptr) << line;
  EXPECT_EQ(parsed.text("caption"), caption);
  EXPECT_EQ(parsed.text("file"), "1_x_9.jpg");
  EXPECT_EQ(parsed.text("photo_id"), "3456");
  EXPECT_EQ(parsed.text("feed_id"), "789");
  EXPECT_EQ(parsed.number("uploaded"), 1365000000);
  EXPECT_EQ(parsed.text("uploaded_cst"), "2013-04-03T22:40:00+08:00");
  EXPECT_EQ(parsed.text("image"), "http://ww1.sinaimg.cn/large/a.jpg");
  EXPECT_EQ(parsed.text("album_id"), "55");
  EXPECT_EQ(parsed.text("album"), "旅行");
  EXPECT_EQ(parsed.number("saved"), 1700000000);

  photo.timestamp = "soon";
  ParsedLine without_time(index_line(photo));
  EXPECT_TRUE(without_time.is_null("uploaded"));
  EXPECT_TRUE(without_time.is_null("uploaded_cst"));
}

class AlbumIndexFileTest : public ::testing::Test {
 protected:
  IndexedPhoto photo(const std::string& id) {
    IndexedPhoto p;
    p.photo_id = id;
    p.file_name = id + ".jpg";
    p.timestamp = "1365000000";
    return p;
  }
  std::string content() { return testing::read_file(folder_.path() + "/" + std::string(kAlbumIndexName)); }
  void write(const std::string& bytes) {
    std::ofstream(folder_.path() + "/" + std::string(kAlbumIndexName), std::ios::binary) << bytes;
  }
  testing::TempFolder folder_;
};

TEST_F(AlbumIndexFileTest, LinesAreAddedOnceAndKeptAcrossRuns) {
  std::string error;
  {
    AlbumIndex index(folder_.path());
    EXPECT_TRUE(index.add(photo("1"), error));
    EXPECT_TRUE(index.add(photo("2"), error));
    EXPECT_TRUE(index.add(photo("1"), error));  // saved again: nothing added
  }
  const std::string first_run = content();
  EXPECT_EQ(read_album_index(folder_.path()).size(), 2u);
  AlbumIndex again(folder_.path());
  EXPECT_TRUE(again.contains("1"));
  EXPECT_TRUE(again.add(photo("2"), error));
  EXPECT_TRUE(again.add(photo("3"), error));
  // The first run's lines stay byte for byte; the new one follows them.
  EXPECT_EQ(content().substr(0, first_run.size()), first_run);
  EXPECT_EQ(read_album_index(folder_.path()).size(), 3u);
}

TEST_F(AlbumIndexFileTest, ALineCutByACrashIsSkippedAndReplaced) {
  const std::string whole = index_line(photo("1")) + "\n" + index_line(photo("2")) + "\n";
  write(whole + index_line(photo("3")).substr(0, 25));
  EXPECT_EQ(read_album_index(folder_.path()).size(), 2u);
  AlbumIndex index(folder_.path());
  EXPECT_TRUE(index.contains("2"));
  EXPECT_FALSE(index.contains("3"));
  std::string error;
  ASSERT_TRUE(index.add(photo("3"), error));
  EXPECT_EQ(content(), whole + index_line(photo("3")) + "\n");
}

TEST_F(AlbumIndexFileTest, AWholeLastLineWithoutLineEndIsKept) {
  write(index_line(photo("1")));
  AlbumIndex index(folder_.path());
  EXPECT_TRUE(index.contains("1"));
  std::string error;
  ASSERT_TRUE(index.add(photo("2"), error));
  EXPECT_EQ(content(), index_line(photo("1")) + "\n" + index_line(photo("2")) + "\n");
}

TEST_F(AlbumIndexFileTest, ALineTakenBackLeavesTheFileAsItWas) {
  write(index_line(photo("1")));  // a whole last line without its line end
  AlbumIndex index(folder_.path());
  std::string error;
  for (const char* id : {"2", "1"}) {  // "1" is indexed already: nothing to take back
    ASSERT_TRUE(index.add(photo(id), error));
    index.take_back();
    EXPECT_EQ(content(), index_line(photo("1"))) << id;
  }
  EXPECT_FALSE(index.contains("2"));
}

// Which photo a file is and which file a photo is, as the last lines say: in the index that
// added the lines, in one read again, and after a line taken back.
TEST_F(AlbumIndexFileTest, FilesAndTheirPhotosAreLookedUpAsTheLastLinesSay) {
  const auto as = [&](const std::string& id, const std::string& file, const std::string& sha256) {
    IndexedPhoto p = photo(id);
    p.file_name = file;
    p.sha256 = sha256;
    return p;
  };
  std::string error;
  AlbumIndex index(folder_.path());
  // Photo 1 saved again with other bytes into photo 2's file: that file is 1's now.
  for (const IndexedPhoto& p : {as("1", "a.jpg", "x"), as("2", "b.jpg", "y"), as("1", "b.jpg", "z")})
    ASSERT_TRUE(index.add(p, error));
  const auto expect_owners = [](const AlbumIndex& read, const char* when) {
    EXPECT_EQ(read.own_file("1"), "b.jpg") << when;
    EXPECT_EQ(read.own_file("2"), "") << when;
    EXPECT_EQ(read.own_file("3"), "") << when;
    EXPECT_EQ(read.file_owner("a.jpg"), "1") << when;
    EXPECT_EQ(read.file_owner("b.jpg"), "1") << when;
    EXPECT_EQ(read.file_owner("c.jpg"), "") << when;
  };
  expect_owners(index, "as added");
  AlbumIndex again(folder_.path());
  expect_owners(again, "read again");
  ASSERT_TRUE(again.add(as("2", "c.jpg", "y"), error));
  EXPECT_EQ(again.own_file("2"), "c.jpg");
  again.take_back();
  expect_owners(again, "taken back");
  ASSERT_TRUE(again.add(as("2", "b.jpg", "y"), error));  // the same line again: nothing added
  expect_owners(again, "a line had already");
}

// The index read in pieces: a line longer than a piece, empty lines, a bad line, a file
// indexed again (shown at its first place as its last line says) and a last line cut short.
TEST_F(AlbumIndexFileTest, AScanGivesEachFileOnceWhateverTheLinesLength) {
  IndexedPhoto long_caption = photo("2");
  long_caption.caption = std::string(200 * 1024, 'c');
  IndexedPhoto again = photo("1");
  again.sha256 = "other bytes";
  write(index_line(photo("1")) + "\n\n" + index_line(long_caption) + "\n{\"file\":\"../x.jpg\"}\n" +
        index_line(photo("3")) + "\n" + index_line(again) + "\n" + index_line(photo("4")).substr(0, 30));
  const IndexScan scan(folder_.path());
  EXPECT_EQ(scan.whole_lines(), 5u);
  ASSERT_EQ(scan.bad_lines().size(), 1u);
  EXPECT_EQ(scan.bad_lines()[0].number, 4u);
  EXPECT_EQ(scan.bad_lines()[0].text, "../x.jpg");
  EXPECT_EQ(scan.photos(), 3u);
  EXPECT_TRUE(scan.names("2.jpg"));
  EXPECT_FALSE(scan.names("4.jpg"));
  std::vector<std::string> seen;
  ASSERT_TRUE(scan.each([&](IndexedPhoto&& p) {
    seen.push_back(p.file_name + ":" + p.sha256 + ":" + std::to_string(p.caption.size()));
    return true;
  }));
  EXPECT_EQ(seen, (std::vector<std::string>{"1.jpg:other bytes:0", "2.jpg::204800", "3.jpg::0"}));
}

TEST_F(AlbumIndexFileTest, AnUnwritableIndexSaysWhy) {
  fs::create_directory(folder_.path() + "/" + std::string(kAlbumIndexName));  // a folder in its place
  AlbumIndex index(folder_.path());
  std::string error;
  EXPECT_FALSE(index.add(photo("1"), error));
  EXPECT_FALSE(error.empty());
}

TEST(IndexableFileName, OnlyAPlainNameOfAFileInTheFolderItself) {
  for (const std::string& name : std::vector<std::string>{
           "", ".", "..", "../B10/3_x.jpg", "/etc/passwd", "sub/x.jpg", "sub\\x.jpg",
           std::string("x\0../y", 6), std::string(kAlbumIndexName), ".albumfetcher-77-3.part"})
    EXPECT_FALSE(is_indexable_file_name(name)) << name;
  for (const char* name : {"3_春游_3560031720000017.jpg", "...", "..jpg", ".hidden.gif", "p.jpg.damaged"})
    EXPECT_TRUE(is_indexable_file_name(name)) << name;
}

// The download's own reading of the index passes over a line that names another folder's file.
TEST_F(AlbumIndexFileTest, ALineNamingAnotherFoldersFileGivesNoId) {
  IndexedPhoto stolen = photo("7");
  stolen.file_name = "../B10/7.jpg";
  write(index_line(stolen) + "\n");
  AlbumIndex index(folder_.path());
  EXPECT_FALSE(index.contains("7"));
  std::string error;
  ASSERT_TRUE(index.add(photo("7"), error));
  EXPECT_EQ(content(), index_line(stolen) + "\n" + index_line(photo("7")) + "\n");
}

TEST_F(AlbumIndexFileTest, TheCatchUpWaitsOnNoPipeUnderAPhotosName) {
  IndexedPhoto line = photo("1");
  line.bytes = 0;
  line.sha256 = sha256_hex("");
  write(index_line(line) + "\n");
  const std::string pipe = folder_.path() + "/" + line.file_name;
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  auto whole = std::async(std::launch::async, [&] { return whole_indexed_photos(folder_.path(), [](const auto&) { return true; }); });
  const bool in_time = whole.wait_for(aftest::kEventBound) == std::future_status::ready;
  if (!in_time) ::close(::open(pipe.c_str(), O_RDWR | O_NONBLOCK));  // lets a reader held by the pipe go
  EXPECT_TRUE(in_time) << "held up by the pipe";
  EXPECT_TRUE(whole.get().empty());
}

// ---- the download ----

std::int64_t modification_time(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return -1;
  return info.st_mtime;
}

class ArchiveDownloadTest : public DownloadTest {
 protected:
  void SetUp() override {
    DownloadTest::SetUp();
    write_setting(settings_section(), index_key(), "1");
  }
  std::string album_path(const std::string& folder) { return save_.path() + "/T/" + folder; }
};

TEST_F(ArchiveDownloadTest, FilesAreDatedByTheirUploadTimeAndIndexed) {
  auto user = afsample::make_user("2001", "/u/2001", "T");
  auto album = afsample::make_album("200100000001", "A", 5, 2);
  album.photos[0].caption_render = "引号\"和\\反斜杠 😀";
  album.photos[1].timestamp_json = "\"1400000000\"";  // the number as a text
  album.photos[2].timestamp_json = "1400000000.75";   // a fraction of a second
  // Leading digits pass the upload-time filter, but the text is no time.
  album.photos[3].timestamp_json = "\"1400000000 or so\"";
  user.albums.push_back(album);
  service().add_user(user);
  view_.rows.push_back(row_of(1, album));
  const std::int64_t before = std::time(nullptr);

  run("2001", "T");

  const std::string folder = album_path("A5");
  const auto lines = read_album_index(folder);
  ASSERT_EQ(lines.size(), 5u);
  const std::int64_t expected_times[] = {album.photos[0].timestamp, 1400000000, 1400000000, -1,
                                         album.photos[4].timestamp};
  for (int i = 0; i < 5; ++i) {
    const auto& photo = album.photos[i];
    ParsedLine line(lines[i]);
    // The first caption is cleaned for its file name; the others are plain.
    const std::string name = line.text("file");
    if (i > 0) {
      EXPECT_EQ(name, expected_name(photo, i + 1));
    }
    EXPECT_EQ(name.substr(0, 2), std::to_string(i + 1) + "_");
    const std::int64_t mtime = modification_time(folder + "/" + name);
    if (expected_times[i] >= 0) {
      EXPECT_EQ(mtime, expected_times[i]) << name;
    } else {
      EXPECT_GE(mtime, before) << name;  // dated by its saving
    }
    EXPECT_EQ(line.text("photo_id"), photo.photo_id);
    EXPECT_EQ(line.text("feed_id"), photo.feed_id);
    EXPECT_EQ(line.text("caption"), photo.caption_render);
    EXPECT_EQ(line.text("image"), base() + "/large/" + photo.pic_name);
    EXPECT_EQ(line.text("album_id"), album.album_id);
    EXPECT_EQ(line.text("album"), "A");
    EXPECT_GE(line.number("saved"), before);
    if (expected_times[i] >= 0) {
      EXPECT_EQ(line.number("uploaded"), expected_times[i]);
    } else {
      EXPECT_TRUE(line.is_null("uploaded"));
    }
  }
}

TEST_F(ArchiveDownloadTest, APhotoWithoutATimestampIsNeitherSavedNorIndexed) {
  // A missing timestamp reads as 0, which the upload-time filter leaves out.
  auto user = afsample::make_user("2004", "/u/2004", "T");
  auto album = afsample::make_album("200400000001", "D", 3);
  album.photos[1].timestamp_json = "";
  user.albums.push_back(album);
  service().add_user(user);
  view_.rows.push_back(row_of(1, album));
  run("2004", "T");
  const auto lines = read_album_index(album_path("D3"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(ParsedLine(lines[1]).text("photo_id"), album.photos[2].photo_id);
  EXPECT_EQ(image_requests(album.photos[1]), 0u);
}

TEST_F(ArchiveDownloadTest, AnEndedDownloadIndexesWhatItSavedAndARerunAddsTheRest) {
  auto user = afsample::make_user("2002", "/u/2002", "T");
  auto album = afsample::make_album("200200000001", "B", 40);
  user.albums.push_back(album);
  service().add_user(user);
  view_.rows.push_back(row_of(1, album));
  set_switches(true, false);  // the record on: the rerun fetches only what is missing
  {
    DownloaderOptions o = options();
    o.pacing.after_photo = std::chrono::milliseconds(20);
    Downloader downloader(view_, o);
    ASSERT_TRUE(downloader.start(view_.request("2002", "T")));
    ASSERT_TRUE(eventually([&] { return all_image_requests() >= 10; }));
    downloader.end_download();
    ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(30)));
  }
  const std::string folder = album_path("B40");
  const auto saved_first = read_album_index(folder);
  std::size_t photos_first = 0;
  for (const auto& [path, bytes] : files_under(folder))
    if (path[0] != '.') ++photos_first;
  EXPECT_EQ(saved_first.size(), photos_first);
  ASSERT_LT(photos_first, 40u);

  run("2002", "T");
  const auto lines = read_album_index(folder);
  ASSERT_EQ(lines.size(), 40u);
  for (std::size_t i = 0; i < saved_first.size(); ++i) EXPECT_EQ(lines[i], saved_first[i]);
  std::set<std::string> ids;
  for (const auto& l : lines) ids.insert(ParsedLine(l).text("photo_id"));
  EXPECT_EQ(ids.size(), 40u);
}

TEST_F(ArchiveDownloadTest, TheIndexCanBeSwitchedOff) {
  write_setting(settings_section(), index_key(), "0");
  auto user = afsample::make_user("2003", "/u/2003", "T");
  user.albums.push_back(afsample::make_album("200300000001", "C", 2));
  service().add_user(user);
  view_.rows.push_back(row_of(1, user.albums[0]));
  run("2003", "T");
  EXPECT_EQ(files_under(album_path("C2")).size(), 2u);
  EXPECT_FALSE(fs::exists(album_path("C2") + "/" + std::string(kAlbumIndexName)));
  // The file times follow the upload time all the same.
  EXPECT_EQ(modification_time(album_path("C2") + "/" + expected_name(user.albums[0].photos[0], 1)),
            user.albums[0].photos[0].timestamp);
}

// ---- the record caught up from the index ----

// An album saved, its record then lost as a kill loses its last group: the second run
// records from the index the photos whole on disk, with the record on or off and whatever
// the range; it asks for those changed or gone, those whose lines lack size and SHA-256,
// and, without the index, all of them.
enum class Change { None, Files, Lines };
struct CatchUpCase {
  const char* name;
  bool index, record, range_keeping_nothing;
  Change change;
  std::vector<int> asked;  // the photos' positions
};

class RecordCatchUpTest : public ArchiveDownloadTest, public ::testing::WithParamInterface<CatchUpCase> {};

TEST_P(RecordCatchUpTest, SecondRun) {
  const CatchUpCase& c = GetParam();
  auto user = afsample::make_user("2005", "/u/2005", "T");
  user.albums.push_back(afsample::make_album("200500000001", "E", 5));
  service().add_user(user);
  view_.rows.push_back(row_of(1, user.albums[0]));
  set_switches(true, false);
  run("2005", "T");
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(program_.file(std::string("2005.dlr") + suffix));
  const auto saved = files_under(save_.path());
  const std::string folder = album_path("E5") + "/";
  const auto file = [&](int i) { return folder + expected_name(user.albums[0].photos[i - 1], i); };
  if (c.change == Change::Files) {
    std::ofstream(file(2), std::ios::binary | std::ios::in) << 'x';
    fs::resize_file(file(3), 100);
    fs::remove(file(4));
  }
  std::string lines;
  for (IndexedPhoto photo : read_indexed_photos(folder)) {
    photo.bytes.reset();
    photo.sha256.clear();
    lines += index_line(photo) + "\n";
  }
  if (c.change == Change::Lines) std::ofstream(folder + std::string(kAlbumIndexName)) << lines;
  set_switches(c.record, c.range_keeping_nothing);
  write_setting(settings_section(), index_key(), c.index ? "1" : "0");
  view_.end = view_.start;
  service().clear_requests();
  view_.clear();
  run("2005", "T");

  std::vector<int> asked;
  for (int i = 1; i <= 5; ++i)
    if (image_requests(user.albums[0].photos[i - 1]) > 0) asked.push_back(i);
  EXPECT_EQ(asked, c.asked);
  EXPECT_EQ(recorded("2005", user.albums[0]).size(), 5u);
  EXPECT_TRUE(files_under(save_.path()) == saved) << "changed or missing files left";
  EXPECT_EQ(view_.log().find(G("下载记录无法")), std::string::npos) << view_.log();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordCatchUpTest,
    ::testing::Values(CatchUpCase{"WholePhotosNeedNoRequest", true, true, false, Change::None, {}},
                      CatchUpCase{"ChangedOrMissingFilesAreFetched", true, true, false, Change::Files, {2, 3, 4}},
                      CatchUpCase{"LinesWithoutSizeAndHashDoNotCount", true, true, false, Change::Lines,
                                  {1, 2, 3, 4, 5}},
                      CatchUpCase{"RecordOffAndARangeRecordAllTheSame", true, false, true, Change::None, {}},
                      CatchUpCase{"NoIndexNothingToCatchUp", false, true, false, Change::None, {1, 2, 3, 4, 5}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace af
