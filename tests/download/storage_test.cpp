// SPDX-License-Identifier: GPL-3.0-or-later
// Albums on disk: folders for hostile and colliding album names, names that fit, the save
// folder as given, storage failures that end the download, an index line refused, the
// record's problems, folder flushes that a file system refuses, and disk work that pause and
// end never wait for.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "download/photo_saver.h"
#include "download/record_store.h"
#include "download_fixture.h"
#include "support/held_writes.h"

namespace af {
namespace {

namespace fs = std::filesystem;
using aftest::HeldWrites;
using testing::DownloadTest;

// ---- album folders ----

struct FoldersCase {
  const char* what;
  std::vector<AlbumNaming> albums;    // names in UTF-8, made GBK by the test
  std::vector<std::string> expected;  // folder names, UTF-8
};

class AlbumFolders : public ::testing::TestWithParam<FoldersCase> {};

TEST_P(AlbumFolders, AreDistinctCleanAndStable) {
  std::vector<AlbumNaming> albums = GetParam().albums;
  for (auto& album : albums) album.name = G(album.name.c_str());
  const auto folders = album_folders("/save", G("用户"), albums);
  ASSERT_EQ(folders.size(), GetParam().expected.size());
  for (std::size_t i = 0; i < folders.size(); ++i) {
    EXPECT_EQ(folders[i].path, "/save/用户/" + GetParam().expected[i]) << i;
    EXPECT_EQ(gbk_to_utf8(folders[i].name), GetParam().expected[i]) << i;
  }
  EXPECT_EQ(album_folders("/save", G("用户"), albums).size(), folders.size());
  for (std::size_t i = 0; i < folders.size(); ++i)
    EXPECT_EQ(album_folders("/save", G("用户"), albums)[i].path, folders[i].path);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AlbumFolders,
    ::testing::Values(
        FoldersCase{"plain", {{"a.b c", "12", "11"}}, {"abc12"}},
        FoldersCase{
            "cleans to nothing",
            {{"/", "5", "11"}, {"..", "5", "12"}, {"。。。", "5", "13"}, {std::string(1, '\0'), "5", "14"}},
            {"5_11", "5_12", "5_13", "5_14"}},
        FoldersCase{"same name and count",
                    {{"Same", "5", "21"}, {"Same", "5", "22"}, {"Same", "6", "23"}},
                    {"Same5_21", "Same5_22", "Same6"}},
        FoldersCase{"names that differ in ASCII case only",
                    {{"ab", "3", "31"}, {"AB", "3", "32"}},
                    {"ab3_31", "AB3_32"}},
        FoldersCase{"one album ticked twice", {{"x", "3", "41"}, {"x", "3", "41"}}, {"x3", "x3"}},
        FoldersCase{"control characters", {{"a\tb\nc\x7f", "4", "51"}}, {"abc4"}},
        FoldersCase{"a name that meets an id-suffixed one",
                    {{"Same", "5", "61"}, {"Same", "5", "62"}, {"Same5_61", "", "63"}},
                    {"Same5_61_61", "Same5_62", "Same5_61_63"}}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(AlbumFolders, LongNamesAreShortenedAtACharacterBoundaryKeepingCountAndId) {
  std::string long_name;
  for (int i = 0; i < 120; ++i) long_name += "长";  // 360 bytes of UTF-8
  const auto folders =
      album_folders("/save", std::string(300, 'u'),
                    {{G(long_name.c_str()), "12", "71"}, {G(long_name.c_str()), "12", "72"}});
  ASSERT_EQ(folders.size(), 2u);
  const std::string user_folder = "/save/" + std::string(255, 'u') + "/";
  for (const auto& folder : folders) {
    ASSERT_EQ(folder.path.rfind(user_folder, 0), 0u) << folder.path;
    const std::string name = folder.path.substr(user_folder.size());
    EXPECT_LE(name.size(), kLongestFileName);
    EXPECT_GT(name.size(), kLongestFileName - 3);
    EXPECT_TRUE(long_name.starts_with(name.substr(0, name.size() - 6))) << name;
  }
  EXPECT_TRUE(folders[0].path.ends_with("12_71"));
  EXPECT_TRUE(folders[1].path.ends_with("12_72"));
}

TEST(AlbumFolders, TheSaveFolderIsKeptByteForByte) {
  const std::string save = "/home/s\xC3\xB8ren/\xF0\x9F\x93\xB7 photos/";
  const auto folders = album_folders(save, "T", {{"A", "2", "1"}});
  EXPECT_EQ(folders[0].path, "/home/s\xC3\xB8ren/\xF0\x9F\x93\xB7 photos/T/A2");
}

// ---- downloads ----

class StorageTest : public DownloadTest {
 protected:
  void TearDown() override {
    set_disk_calls({});
    DownloadTest::TearDown();
  }

  // An album whose photos all share one caption and one post, so that only the folder
  // tells two albums' photos apart.
  static afsample::SampleAlbum same_photos_album(const std::string& id, const std::string& caption,
                                                 int count) {
    auto album = afsample::make_album(id, caption, count);
    for (auto& photo : album.photos) {
      photo.caption_render = "同一条";
      photo.feed_id = "3560000000000001";
    }
    return album;
  }

  std::multiset<std::string> all_bytes(const std::string& root) {
    std::multiset<std::string> bytes;
    for (const auto& [name, data] : files_under(root)) bytes.insert(data);
    return bytes;
  }

  static std::string storage_text(const std::string& folder, int error) {
    return G("保存失败，下载已停止：") + folder + G("，原因：") + disk_error_cause(error);
  }

  // The download ended on a storage failure: said in the log and a warning, the buttons
  // Idle, no finish.
  void expect_stopped_by(const std::string& folder, int error) {
    const std::string text = storage_text(folder, error);
    EXPECT_NE(view_.log().find(text + "\r\n"), std::string::npos) << view_.log();
    EXPECT_EQ(view_.messages(), std::vector<std::string>{G("警告：") + text});
    EXPECT_EQ(view_.states().back(), DownloadState::Idle);
    EXPECT_EQ(view_.log().find(G("全部下载完毕")), std::string::npos);
  }
};

TEST_F(StorageTest, HostileAndCollidingAlbumNamesNeverShareAFolder) {
  auto user = afsample::make_user("7001", "/u/7001", "T");
  const std::vector<std::string> names = {"/",    "..",   "。。。", "''", std::string(1, '\0'),
                                          "Same", "Same", "a\tb"};
  for (std::size_t i = 0; i < names.size(); ++i)
    user.albums.push_back(same_photos_album("70010000000000" + std::to_string(10 + i), names[i], 3));
  service().add_user(user);
  std::multiset<std::string> want;
  for (std::size_t i = 0; i < names.size(); ++i) {
    // The name with a NUL keeps it: G() would stop at it.
    view_.rows.push_back({static_cast<int>(i + 1), names[i][0] == '\0' ? names[i] : G(names[i].c_str()), 3,
                          AlbumRef{user.albums[i].album_id, "18"}});
    for (const auto& photo : user.albums[i].photos) want.insert(service().image_bytes(photo.pic_name));
  }
  run("7001", "T");
  const auto first = files_under(save_.path());
  EXPECT_EQ(first.size(), 24u);
  EXPECT_EQ(all_bytes(save_.path()), want);
  std::set<std::string> folders;
  for (const auto& [name, bytes] : first) folders.insert(fs::path(name).parent_path().string());
  EXPECT_EQ(folders.size(), names.size());
  EXPECT_TRUE(folders.count("T/3_7001000000000010"));
  EXPECT_TRUE(folders.count("T/Same3_7001000000000015"));
  EXPECT_TRUE(folders.count("T/ab3"));
  EXPECT_EQ(view_.log().find(G("失败")), std::string::npos);

  // Another run puts every photo in the same place again.
  view_.clear();
  run("7001", "T");
  EXPECT_EQ(files_under(save_.path()), first);
}

TEST_F(StorageTest, A300ByteAlbumNameAndUserTitleDownload) {
  std::string long_name;
  for (int i = 0; i < 100; ++i) long_name += "长";  // 300 bytes of UTF-8
  const std::string title(300, 't');
  auto user = afsample::make_user("7002", "/u/7002", title);
  user.albums.push_back(afsample::make_album("700200000001", long_name, 2));
  service().add_user(user);
  view_.rows = {row_of(1, user.albums[0])};
  run("7002", title);
  const auto files = files_under(save_.path());
  ASSERT_EQ(files.size(), 2u);
  for (const auto& [name, bytes] : files)
    for (const auto& part : fs::path(name)) EXPECT_LE(part.string().size(), kLongestFileName) << name;
  EXPECT_EQ(view_.log().find(G("失败")), std::string::npos);
  EXPECT_EQ(recorded("7002", user.albums[0]).size(), 2u);
}

TEST_F(StorageTest, ASaveFolderBeyondGbkReceivesThePhotos) {
  auto user = afsample::make_user("7003", "/u/7003", "T");
  user.albums.push_back(afsample::make_album("700300000001", "A", 2));
  service().add_user(user);
  view_.rows = {row_of(1, user.albums[0])};
  view_.save_folder = save_.file("s\xC3\xB8ren \xF0\x9F\x93\xB7");
  run("7003", "T");
  const auto files = files_under(save_.path());
  ASSERT_EQ(files.size(), 2u);
  for (const auto& [name, bytes] : files)
    EXPECT_EQ(name.rfind("s\xC3\xB8ren \xF0\x9F\x93\xB7/T/A2/", 0), 0u) << name;
}

TEST_F(StorageTest, ASaveFolderThatIsAFileStopsBeforeAnyRequest) {
  auto user = afsample::make_user("7004", "/u/7004", "T");
  user.albums.push_back(afsample::make_album("700400000001", "A", 3));
  user.albums.push_back(afsample::make_album("700400000002", "B", 3));
  service().add_user(user);
  view_.rows = {row_of(1, user.albums[0]), row_of(2, user.albums[1])};
  testing::write_file(save_.file("file"), "x");
  view_.save_folder = save_.file("file");
  run("7004", "T");
  EXPECT_EQ(all_image_requests(), 0u);
  expect_stopped_by(save_.file("file/T/A3"), ENOTDIR);
  EXPECT_EQ(testing::read_file(save_.file("file")), "x");
}

// A small file system of its own (tmpfs), mounted while the object lives.
class SmallDisk {
 public:
  SmallDisk(const std::string& options, unsigned long flags = 0) {
    std::string pattern = (fs::temp_directory_path() / "af-disk-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", flags, options.c_str()) == 0;
    if (!mounted_) why_ = std::strerror(errno);
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    ::rmdir(path_.c_str());
  }
  bool mounted() const { return mounted_; }
  const std::string& why_not() const { return why_; }
  const std::string& path() const { return path_; }
  bool remount(const std::string& options) {
    return ::mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT, options.c_str()) == 0;
  }

 private:
  std::string path_;
  bool mounted_ = false;
  std::string why_;
};

TEST_F(StorageTest, AReadOnlyDiskStopsBeforeAnyRequest) {
  SmallDisk disk("size=1m", MS_RDONLY);
  if (!disk.mounted())
    GTEST_SKIP() << "mounting a read-only tmpfs was refused (" << disk.why_not()
                 << "); QuotaThroughTheSeamStopsAfterTheFirstFailure covers a refused write";
  auto user = afsample::make_user("7005", "/u/7005", "T");
  user.albums.push_back(afsample::make_album("700500000001", "A", 3));
  service().add_user(user);
  view_.rows = {row_of(1, user.albums[0])};
  view_.save_folder = disk.path();
  run("7005", "T");
  EXPECT_EQ(all_image_requests(), 0u);
  expect_stopped_by(disk.path() + "/T/A3", EROFS);
}

// The disk fills up at the third photo: the download stops there, the two saved photos
// stay whole and recorded, and a later run with room fetches exactly the rest.
TEST_F(StorageTest, AFullDiskStopsAtTheFirstFailureAndARerunFetchesTheRest) {
  SmallDisk disk("size=256k");
  if (!disk.mounted())
    GTEST_SKIP() << "mounting a small tmpfs was refused (" << disk.why_not()
                 << "); QuotaThroughTheSeamStopsAfterTheFirstFailure covers a full disk";
  auto user = afsample::make_user("7006", "/u/7006", "T");
  auto album = afsample::make_album("700600000001", "A", 6);
  for (auto& photo : album.photos) photo.image_size = 100000;
  user.albums.push_back(album);
  service().add_user(user);
  set_switches(true, false);
  view_.rows = {row_of(1, album)};
  view_.save_folder = disk.path();
  run("7006", "T");

  EXPECT_EQ(all_image_requests(), 3u);
  const auto files = files_under(disk.path());
  ASSERT_EQ(files.size(), 2u);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(files.at("T/A6/" + expected_name(album.photos[i], i + 1)),
              service().image_bytes(album.photos[i].pic_name));
  EXPECT_EQ(recorded("7006", album),
            (std::set<std::string>{album.photos[0].photo_id, album.photos[1].photo_id}));
  EXPECT_NE(view_.log().find(G("失败") + album.photos[2].photo_id + G("微博id") + album.photos[2].feed_id +
                             "\r\n" + failure_cause_line(disk_error_cause(ENOSPC))),
            std::string::npos);
  expect_stopped_by(disk.path() + "/T/A6", ENOSPC);

  ASSERT_TRUE(disk.remount("size=4m"));
  service().clear_requests();
  view_.clear();
  run("7006", "T");
  EXPECT_EQ(all_image_requests(), 4u);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(image_requests(album.photos[i]), 0u);
  EXPECT_EQ(files_under(disk.path()).size(), 6u);
  EXPECT_EQ(recorded("7006", album).size(), 6u);
  EXPECT_EQ(view_.messages(), std::vector<std::string>{G("警告：下载结束：已保存4张，已跳过2张（下载记录）。")});
}

TEST_F(StorageTest, QuotaThroughTheSeamStopsAfterTheFirstFailure) {
  auto user = afsample::make_user("7007", "/u/7007", "T");
  auto album = afsample::make_album("700700000001", "A", 5);
  user.albums.push_back(album);
  user.albums.push_back(afsample::make_album("700700000002", "B", 5));
  service().add_user(user);
  view_.rows = {row_of(1, album), row_of(2, user.albums[1])};
  int writes = 0;
  set_disk_calls({[&](int fd, const char* data, std::size_t size) -> long {
                    if (++writes == 3) {
                      errno = EDQUOT;
                      return -1;
                    }
                    return ::write(fd, data, size);
                  },
                  {},
                  {}});
  run("7007", "T");
  EXPECT_EQ(all_image_requests(), 3u);
  EXPECT_EQ(files_under(save_.path()).size(), 2u);
  EXPECT_EQ(recorded("7007", album).size(), 2u);
  expect_stopped_by(save_.file("T/A5"), EDQUOT);
}

// An index line the disk refuses through the seam is what a full disk makes of it: the
// failure is logged once with its cause and costs no photo, the other lines stay whole, and
// the photos' own writes alone pass the seam's `write`.
TEST_F(StorageTest, AnIndexWriteRefusedThroughTheSeamIsLoggedOnceAndCostsNoPhoto) {
  auto user = afsample::make_user("7013", "/u/7013", "T");
  auto album = afsample::make_album("701300000001", "A", 4);
  user.albums.push_back(album);
  service().add_user(user);
  set_switches(true, false);
  view_.rows = {row_of(1, album)};
  int photo_writes = 0, index_writes = 0;
  const auto counted = [](int& count, int refused) {
    return [&count, refused](int fd, const char* data, std::size_t size) -> long {
      if (++count == refused) {
        errno = ENOSPC;
        return -1;
      }
      return ::write(fd, data, size);
    };
  };
  set_disk_calls({counted(photo_writes, 0), {}, {}, counted(index_writes, 2)});
  run("7013", "T");
  EXPECT_EQ(photo_writes, 4);
  EXPECT_EQ(index_writes, 4);
  EXPECT_EQ(files_under(save_.path()).size(), 4u);
  EXPECT_EQ(recorded("7013", album).size(), 4u);
  const std::string told = G("相册索引写入失败：") + save_.file("T/A4/" + std::string(kAlbumIndexName)) +
                           G("（") + disk_error_cause(ENOSPC) + G("）") + "\r\n";
  const std::string log = view_.log();
  ASSERT_NE(log.find(told), std::string::npos) << log;
  EXPECT_EQ(log.find(told, log.find(told) + 1), std::string::npos);
  std::set<std::string> indexed;
  for (const IndexedPhoto& photo : read_indexed_photos(save_.file("T/A4"))) indexed.insert(photo.photo_id);
  EXPECT_EQ(indexed, (std::set<std::string>{album.photos[0].photo_id, album.photos[2].photo_id,
                                            album.photos[3].photo_id}));
  EXPECT_EQ(view_.messages(), std::vector<std::string>{G("全部下载完毕")});
}

// A flush that the file system does not support counts as done; one that fails may have
// lost the photo, which is then logged with its cause and not recorded.
struct FlushCase {
  const char* what;
  int file_error;
  int folder_error;
  bool saved;
};

class FlushFailures : public StorageTest, public ::testing::WithParamInterface<FlushCase> {};

TEST_P(FlushFailures, CountOnlyWhenDataMayBeLost) {
  const FlushCase& c = GetParam();
  auto user = afsample::make_user("7008", "/u/7008", "T");
  auto album = afsample::make_album("700800000001", "A", 3);
  user.albums.push_back(album);
  service().add_user(user);
  view_.rows = {row_of(1, album)};
  const auto failing = [](int error) {
    return [error](int fd) {
      if (error == 0) return ::fsync(fd);
      errno = error;
      return -1;
    };
  };
  set_disk_calls({{}, failing(c.file_error), failing(c.folder_error)});
  auto o = options();
  o.sync_files = true;
  Downloader downloader(view_, o);
  ASSERT_TRUE(downloader.start(view_.request("7008", G("T"))));
  ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(60)));
  if (c.saved) {
    EXPECT_EQ(recorded("7008", album).size(), 3u);
    EXPECT_EQ(view_.log().find(G("失败")), std::string::npos);
    EXPECT_EQ(view_.messages(), std::vector<std::string>{G("全部下载完毕")});
  } else {
    const int error = c.file_error != 0 ? c.file_error : c.folder_error;
    EXPECT_TRUE(recorded("7008", album).empty());
    if (c.file_error != 0) {
      EXPECT_NE(view_.log().find(failure_line(PhotoEntry{album.photos[0].photo_id, "", "", "", "", "",
                                                         album.photos[0].feed_id, "", ""}) +
                                 failure_cause_line(disk_error_cause(error))),
                std::string::npos);
    }
    // The photos' bytes and their folder are flushed once for their group, at the album's
    // end here: each of them was fetched, none of them is recorded.
    EXPECT_EQ(all_image_requests(), 3u);
    expect_stopped_by(save_.file("T/A3"), error);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, FlushFailures,
                         ::testing::Values(FlushCase{"folder flush not supported", 0, EINVAL, true},
                                           FlushCase{"data flush not supported", ENOTSUP, 0, true},
                                           FlushCase{"data flush on a read-only file", EROFS, EINVAL, true},
                                           FlushCase{"data flush lost the data", EIO, 0, false},
                                           FlushCase{"folder flush lost the name", 0, EIO, false}),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

// ---- the record ----

TEST_F(StorageTest, AnUnusableRecordIsLoggedOnceAndTheDownloadGoesOn) {
  auto user = afsample::make_user("7009", "/u/7009", "T");
  user.albums.push_back(afsample::make_album("700900000001", "A", 2));
  user.albums.push_back(afsample::make_album("700900000002", "B", 2));
  service().add_user(user);
  fs::create_directory(program_.file("7009.dlr"));
  set_switches(true, false);
  view_.rows = {row_of(1, user.albums[0]), row_of(2, user.albums[1])};
  run("7009", "T");
  const std::string log = view_.log();
  const std::string told = G("下载记录无法使用：") + program_.file("7009.dlr") + G("，原因：");
  const auto at = log.find(told);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(told, at + 1), std::string::npos);
  EXPECT_EQ(files_under(save_.path()).size(), 4u);
  EXPECT_EQ(view_.messages(), std::vector<std::string>{G("全部下载完毕")});
}

TEST_F(StorageTest, AForeignRecordIsSetAsideAndTheNewOneIsUsed) {
  auto user = afsample::make_user("7010", "/u/7010", "T");
  user.albums.push_back(afsample::make_album("701000000001", "A", 3));
  service().add_user(user);
  const std::string foreign = "not a record at all\n" + std::string(2000, 'Z');
  testing::write_file(program_.file("7010.dlr"), foreign);
  set_switches(true, false);
  view_.rows = {row_of(1, user.albums[0])};
  run("7010", "T");
  EXPECT_NE(view_.log().find(G("下载记录文件无法读取")), std::string::npos);
  EXPECT_NE(view_.log().find(program_.file("7010.dlr.set-aside")), std::string::npos);
  EXPECT_EQ(testing::read_file(program_.file("7010.dlr.set-aside")), foreign);
  EXPECT_EQ(recorded("7010", user.albums[0]).size(), 3u);
  service().clear_requests();
  view_.clear();
  run("7010", "T");
  EXPECT_EQ(all_image_requests(), 0u);
  EXPECT_EQ(view_.log().find(G("下载记录无法")), std::string::npos);
  EXPECT_EQ(view_.log().find(G("下载记录文件无法")), std::string::npos);
}

// ---- pause and end never wait for the disk ----

TEST_F(StorageTest, PauseAndEndReturnWhileAPhotoWriteIsHeld) {
  auto user = afsample::make_user("7011", "/u/7011", "T");
  auto album = afsample::make_album("701100000001", "A", 6);
  user.albums.push_back(album);
  service().add_user(user);
  view_.rows = {row_of(1, album)};
  for (const bool sync : {false, true}) {
    SCOPED_TRACE(sync ? "flushed" : "not flushed");
    HeldWrites held(2);
    auto o = options();
    o.sync_files = sync;
    Downloader downloader(view_, o);
    ASSERT_TRUE(downloader.start(view_.request("7011", G("T"))));
    ASSERT_TRUE(held.wait_until_holding());

    downloader.pause_download();
    EXPECT_TRUE(held.holding());  // pause did not wait for the write
    EXPECT_EQ(view_.states().back(), DownloadState::Paused);
    downloader.end_download();
    EXPECT_TRUE(held.holding());
    EXPECT_EQ(view_.states().back(), DownloadState::Idle);
    const std::size_t events = view_.event_count();

    // The held photo is finished, then removed: nothing of it stays, nothing is recorded.
    held.release();
    ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(30)));
    EXPECT_EQ(view_.event_count(), events);
    const auto files = files_under(save_.path());
    std::vector<std::string> names;
    for (const auto& [name, bytes] : files) names.push_back(name);
    EXPECT_EQ(names, std::vector<std::string>{"T/A6/" + expected_name(album.photos[0], 1)});
    EXPECT_EQ(recorded("7011", album), std::set<std::string>{album.photos[0].photo_id});
    EXPECT_EQ(all_image_requests(), 2u);

    fs::remove_all(save_.file("T"));
    for (const char* suffix : {"", "-wal", "-shm"})
      fs::remove(program_.file(std::string("7011.dlr") + suffix));
    service().clear_requests();
    view_.clear();
  }
}

TEST_F(StorageTest, APausedDownloadFinishesTheHeldWriteButPutsNothingInPlaceUntilContinue) {
  auto user = afsample::make_user("7012", "/u/7012", "T");
  auto album = afsample::make_album("701200000001", "A", 4);
  user.albums.push_back(album);
  service().add_user(user);
  view_.rows = {row_of(1, album)};
  HeldWrites held(2);
  Downloader downloader(view_, options());
  ASSERT_TRUE(downloader.start(view_.request("7012", G("T"))));
  ASSERT_TRUE(held.wait_until_holding());
  downloader.pause_download();
  held.release();
  // The released write ends in its temporary file; nothing is put in place or recorded
  // before continue: the first photo waits in its temporary file for its group.
  const auto placed = [&] {
    std::size_t n = 0;
    for (const auto& [name, bytes] : files_under(save_.path())) n += name.find(".part") == std::string::npos;
    return std::make_pair(n, recorded("7012", album).size());
  };
  ASSERT_TRUE(eventually([&] { return held.written() == 2; })) << "the held write's end";
  EXPECT_EQ(placed(), std::make_pair(std::size_t{0}, std::size_t{0}));
  const PausedSpan paused = pause_then_continue(downloader, placed);
  ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(60)));
  expect_no_request_while_paused(paused);
  EXPECT_EQ(files_under(save_.path()).size(), 4u);
  EXPECT_EQ(recorded("7012", album).size(), 4u);
}

}  // namespace
}  // namespace af
