// SPDX-License-Identifier: GPL-3.0-or-later
// An account that keeps posting, downloaded night after night: each album keeps one folder,
// named as a fresh download would name it that day, and no photo ever takes another's file.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "download/album_places.h"
#include "download/verify.h"
#include "download_fixture.h"

namespace af {
namespace {

namespace fs = std::filesystem;
using testing::DownloadTest;

// A photo of the stand-in account: its post and caption, so that photos of one post share
// both (and so a name, but for the number).
afsample::SamplePhoto photo(const std::string& id, const std::string& post, const std::string& caption) {
  afsample::SamplePhoto p;
  p.photo_id = id;
  p.feed_id = post;
  p.caption_render = caption;
  p.pic_name = "p" + id + ".jpg";
  p.timestamp = 1365000000 + std::stoll(id.substr(id.size() - 4));
  return p;
}

const auto x1 = photo("3800000000000011", "3560000000000001", "春游");
const auto y1 = photo("3800000000000012", "3560000000000002", "爬山");
const auto z1 = photo("3800000000000013", "3560000000000003", "看海");
const auto n1 = photo("3800000000000021", "3560000000000004", "海边");  // one post, two photos
const auto n2 = photo("3800000000000022", "3560000000000004", "海边");
const auto x2 = photo("3800000000000031", "3560000000000001", "春游");  // a later photo of x1's post
const auto c1 = photo("3800000000000041", "3560000000000011", "猫一");
const auto c2 = photo("3800000000000042", "3560000000000012", "猫二");
const auto c3 = photo("3800000000000043", "3560000000000013", "猫三");
const auto c4 = photo("3800000000000044", "3560000000000014", "猫四");
const auto f1 = photo("3800000000000051", "3560000000000021", "面");
const auto f2 = photo("3800000000000052", "3560000000000022", "饭");

struct AlbumChoice {
  std::string id, caption;
  std::vector<afsample::SamplePhoto> photos;  // newest first, as the service lists them
  std::string folder;                         // the folder a fresh download names it that night
};
struct Night {
  std::vector<AlbumChoice> albums;
  std::set<std::string> new_photos;  // fetched this night with the record on
};

// Night 2: 旅行 grows at the front, 猫 loses a photo, 美食 appears. Night 3: a photo of a
// night-1 post comes first, so the name it has today is that night-1 photo's file.
const std::vector<Night> kNights{
    {{{"5001001", "旅行", {x1, y1, z1}, "旅行3"}, {"5001002", "猫", {c1, c2, c3, c4}, "猫4"}},
     {x1.photo_id, y1.photo_id, z1.photo_id, c1.photo_id, c2.photo_id, c3.photo_id, c4.photo_id}},
    {{{"5001001", "旅行", {n1, n2, x1, y1, z1}, "旅行5"},
      {"5001002", "猫", {c1, c3, c4}, "猫3"},
      {"5001003", "美食", {f1, f2}, "美食2"}},
     {n1.photo_id, n2.photo_id, f1.photo_id, f2.photo_id}},
    {{{"5001001", "旅行", {x2, n1, n2, x1, y1, z1}, "旅行6"},
      {"5001002", "猫", {c1, c3, c4}, "猫3"},
      {"5001003", "美食", {f1, f2}, "美食2"}},
     {x2.photo_id}},
};

class GrowingAlbumTest : public DownloadTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    DownloadTest::SetUp();
    set_switches(GetParam(), false);
    write_setting(settings_section(), index_key(), "1");
    write_setting(settings_section(), gallery_key(), "1");
  }
  std::string user_folder() const { return save_.path() + "/T"; }

  // Sets the account as it stands on `night` and downloads every album of it.
  void download(const Night& night) {
    auto user = afsample::make_user("5001", "/u/5001", "T");
    view_.rows.clear();
    for (const AlbumChoice& listed : night.albums) {
      afsample::SampleAlbum album;
      album.album_id = listed.id;
      album.caption = listed.caption;
      album.photos = listed.photos;
      user.albums.push_back(album);
      view_.rows.push_back(row_of(static_cast<int>(view_.rows.size()) + 1, album));
    }
    service().reset();
    service().add_user(user);
    run("5001", "T");
  }
};

TEST_P(GrowingAlbumTest, EachAlbumKeepsOneFolderAndEveryPhotoItsFile) {
  const bool record = GetParam();
  std::map<std::string, std::string> album_of;      // photo id -> album id, of every photo ever listed
  std::map<std::string, std::string> bytes_of;      // photo id -> its image, as the service sent it
  std::map<std::string, std::string> kept_before;   // "<album id>/<file>" -> bytes, after the night before
  for (std::size_t n = 0; n < kNights.size(); ++n) {
    SCOPED_TRACE("night " + std::to_string(n + 1));
    const Night& night = kNights[n];
    std::set<std::string> listed;
    for (const AlbumChoice& album : night.albums)
      for (const auto& p : album.photos) {
        album_of[p.photo_id] = album.id;
        listed.insert(p.photo_id);
      }
    download(night);
    for (const std::string& id : listed) bytes_of[id] = service().image_bytes("p" + id + ".jpg");
    std::size_t finished = 0;
    // The finish says "全部下载完毕", or with the record on what it skipped.
    for (const std::string& end : {G("-------全部下载完毕--------"), G("-------下载结束：")})
      for (std::size_t at = 0; (at = view_.log().find(end, at)) != std::string::npos; ++at) ++finished;
    EXPECT_EQ(finished, n + 1);

    // Fetched: the new photos with the record on, every listed one with it off.
    std::set<std::string> fetched;
    for (const auto& r : service().requests())
      if (r.path.starts_with("/large/p")) fetched.insert(r.path.substr(8, 16));
    EXPECT_EQ(fetched, record ? night.new_photos : listed);

    // One folder per album, named as today; nothing else in the user folder.
    std::set<std::string> folders, want_folders;
    for (const auto& entry : fs::directory_iterator(user_folder()))
      if (entry.is_directory()) folders.insert(entry.path().filename().string());
    for (const AlbumChoice& album : night.albums) want_folders.insert(album.folder);
    EXPECT_EQ(folders, want_folders);
    EXPECT_TRUE(split_albums(user_folder()).empty());

    // Every photo ever listed is on disk exactly once, with its bytes, in its album's
    // folder; every file is sound by its index; no file's bytes changed since last night.
    std::map<std::string, std::string> kept;
    std::map<std::string, int> copies;  // bytes -> files holding them
    std::size_t indexed = 0;
    for (const AlbumChoice& album : night.albums) {
      const std::string folder = user_folder() + "/" + album.folder;
      const AlbumCheck check = check_album(folder);
      EXPECT_TRUE(check.not_indexed.empty() && check.bad_lines.empty()) << album.folder;
      EXPECT_EQ(check.count(PhotoState::Sound), check.photos.size()) << album.folder;
      indexed += check.photos.size();
      for (const PhotoCheck& p : check.photos) {
        EXPECT_EQ(album_of[p.photo.photo_id], album.id) << p.photo.file_name;
        kept[album.id + "/" + p.photo.file_name] = testing::read_file(folder + "/" + p.photo.file_name);
        ++copies[kept[album.id + "/" + p.photo.file_name]];
      }
    }
    EXPECT_EQ(indexed, album_of.size());
    for (const auto& [id, bytes] : bytes_of) EXPECT_EQ(copies[bytes], 1) << id;
    for (const auto& [file, bytes] : kept_before) EXPECT_EQ(kept[file], bytes) << file;
    kept_before = kept;

    // The gallery page shows each album once, with all its photos.
    const auto albums = read_gallery_albums(user_folder());
    EXPECT_EQ(albums.size(), night.albums.size());
    std::size_t shown = 0;
    for (const GalleryAlbum& album : albums) shown += album.photos.size();
    EXPECT_EQ(shown, album_of.size());
  }
  // The photo of night 3 whose name today was x1's file took a variant of it; x1 kept its own.
  const std::string folder = user_folder() + "/旅行6/";
  EXPECT_EQ(testing::read_file(folder + "1_春游_3560000000000001.jpg"), service().image_bytes(x1.pic_name));
  EXPECT_EQ(testing::read_file(folder + "1_春游_3560000000000001_3800000000000031.jpg"),
            service().image_bytes(x2.pic_name));
  EXPECT_TRUE(fs::exists(user_folder() + "/猫3/2_猫二_3560000000000012.jpg")) << "a photo deleted on the service stays";
}

INSTANTIATE_TEST_SUITE_P(Record, GrowingAlbumTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "On" : "Off"; });

// A folder that holds today's name already and belongs to no album is never written over:
// the photos go on into the album's folder under its old name, and the log says so once.
TEST_F(DownloadTest, ARefusedRenameKeepsTheOldFolderAndSaysSo) {
  write_setting(settings_section(), index_key(), "1");
  auto user = afsample::make_user("5002", "/u/5002", "T");
  auto album = afsample::make_album("500200000001", "A", 2);
  user.albums.push_back(album);
  service().add_user(user);
  view_.rows = {row_of(1, album)};
  run("5002", "T");
  fs::create_directories(save_.file("T/A3"));
  testing::write_file(save_.file("T/A3/note.txt"), "mine");
  album.photos.insert(album.photos.begin(), afsample::make_photos("500200000001", 1, 0, 9).front());
  user.albums = {album};
  service().set_users({user});
  view_.rows = {row_of(1, album)};
  run("5002", "T");
  EXPECT_EQ(files_under(save_.file("T/A3")).size(), 1u);
  EXPECT_EQ(files_under(save_.file("T/A2")).size(), 3u);
  const std::string log = view_.log();
  EXPECT_NE(log.find(G("相册文件夹无法改名，照片仍保存在：") + save_.file("T/A2")), std::string::npos) << gbk_to_utf8(log);
  EXPECT_EQ(testing::read_file(save_.file("T/A3/note.txt")), "mine");
}

}  // namespace
}  // namespace af
