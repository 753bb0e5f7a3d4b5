// SPDX-License-Identifier: GPL-3.0-or-later
// Checking an archive against its album index, and the pieces of its repair.
#include "download/verify.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "download/record_store.h"
#include "sample_images.h"
#include "service/model.h"
#include "temp_folder.h"
#include "util/sha256.h"

namespace af {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  Sha256 chunked;
  chunked.update("a");
  chunked.update("bc");
  EXPECT_EQ(chunked.hex_digest(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// An album folder with photos saved and indexed as a download leaves them.
class AlbumCheckTest : public ::testing::Test {
 protected:
  // Saves `bytes` as `name`, indexed with (`with_digest`) or without size and SHA-256.
  void save(const std::string& name, const std::string& bytes, bool with_digest = true) {
    std::ofstream(folder_.file(name), std::ios::binary) << bytes;
    PhotoEntry entry;
    entry.photo_id = "id-" + name;
    IndexedPhoto photo = indexed_photo(entry, name, "1", "A", 1700000000, bytes);
    if (!with_digest) {
      photo.bytes.reset();
      photo.sha256.clear();
    }
    std::string error;
    ASSERT_TRUE(index_.add(photo, error)) << error;
  }
  std::map<std::string, PhotoState> states() {
    std::map<std::string, PhotoState> states;
    for (const PhotoCheck& photo : check_album(folder_.path()).photos)
      states[photo.photo.file_name] = photo.state;
    return states;
  }
  TempFolder folder_;
  AlbumIndex index_{folder_.path()};
};

TEST_F(AlbumCheckTest, EachFaultIsNamedAndStrayFilesAreListed) {
  const std::string jpeg = afsample::make_jpeg("a", 5000);
  for (const char* name : {"sound.jpg", "gone.jpg", "cut.jpg", "byte.jpg", "empty.jpg"}) save(name, jpeg);
  save("old.gif", afsample::make_gif("b"), false);
  save("old-cut.gif", afsample::make_gif("c"), false);

  fs::remove(folder_.file("gone.jpg"));
  fs::resize_file(folder_.file("cut.jpg"), 3000);
  std::string changed = jpeg;
  changed[2500] ^= 0x01;  // inside a comment: still a whole picture
  std::ofstream(folder_.file("byte.jpg"), std::ios::binary) << changed;
  std::ofstream(folder_.file("empty.jpg"), std::ios::binary | std::ios::trunc);
  fs::resize_file(folder_.file("old-cut.gif"), 20);
  std::ofstream(folder_.file("stray.txt")) << "x";
  std::ofstream(folder_.file(".albumfetcher-1-1.part")) << "in flight";

  const std::map<std::string, PhotoState> want{
      {"sound.jpg", PhotoState::Sound},    {"gone.jpg", PhotoState::Missing},
      {"cut.jpg", PhotoState::Damaged},    {"byte.jpg", PhotoState::Changed},
      {"empty.jpg", PhotoState::Damaged},  {"old.gif", PhotoState::Sound},
      {"old-cut.gif", PhotoState::Damaged}};
  EXPECT_EQ(states(), want);
  const AlbumCheck check = check_album(folder_.path());
  EXPECT_EQ(check.not_indexed, std::vector<std::string>{"stray.txt"});
  EXPECT_EQ(check.count(PhotoState::Damaged), 3u);
}

TEST_F(AlbumCheckTest, AFileSavedAgainWithOtherBytesIsCheckedAgainstItsLastLine) {
  save("p.jpg", afsample::make_jpeg("first"));
  save("p.jpg", afsample::make_jpeg("first"));  // the same bytes again: no line
  EXPECT_EQ(read_album_index(folder_.path()).size(), 1u);
  save("p.jpg", afsample::make_jpeg("second"));
  EXPECT_EQ(read_album_index(folder_.path()).size(), 2u);
  ASSERT_EQ(read_indexed_photos(folder_.path()).size(), 1u);
  EXPECT_EQ(states(), (std::map<std::string, PhotoState>{{"p.jpg", PhotoState::Sound}}));
}

TEST(AlbumFoldersToCheck, HoldAnIndexOrPicturesInASaveFolderAUserFolderOrAnAlbumFolder) {
  TempFolder root;
  for (const char* album : {"u1/a", "u1/b", "u2/c", "u2/c/deeper", "u3/empty", "u3/lost/deeper", "u3/other"})
    fs::create_directories(root.file(album));
  for (const char* album : {"u1/a", "u1/b", "u2/c"})
    std::ofstream(root.file(album) + "/" + std::string(kAlbumIndexName)) << "\n";
  // Pictures count without an index; other files, a link or a temporary file do not.
  for (const char* file :
       {"u3/lost/1.JPG", "u3/lost/deeper/1.gif", "u3/other/a.txt", "u3/other/.albumfetcher-1-1.part"})
    std::ofstream(root.file(file)) << "x";
  fs::create_symlink(root.file("u3/lost/1.JPG"), root.file("u3/other/2.jpg"));
  EXPECT_EQ(album_folders_to_check(root.path()),
            (std::vector<std::string>{root.file("u1/a"), root.file("u1/b"), root.file("u2/c"),
                                      root.file("u3/lost")}));
  EXPECT_EQ(album_folders_to_check(root.file("u1")),
            (std::vector<std::string>{root.file("u1/a"), root.file("u1/b")}));
  EXPECT_EQ(album_folders_to_check(root.file("u2/c")), std::vector<std::string>{root.file("u2/c")});
  EXPECT_EQ(album_folders_to_check(root.file("u3/lost")),
            (std::vector<std::string>{root.file("u3/lost"), root.file("u3/lost/deeper")}));
  EXPECT_TRUE(album_folders_to_check(root.file("missing")).empty());
}

TEST(MoveAside, NeverReplacesAFile) {
  TempFolder folder;
  int error = 0;
  for (const char* bytes : {"one", "two", "three"}) {
    std::ofstream(folder.file("p.jpg"), std::ios::binary) << bytes;
    error = 0;
    move_aside(folder.path(), "p.jpg", error);
    EXPECT_EQ(error, 0);
  }
  EXPECT_FALSE(fs::exists(folder.file("p.jpg")));
  EXPECT_EQ(testing::read_file(folder.file("p.jpg.damaged")), "one");
  EXPECT_EQ(testing::read_file(folder.file("p.jpg.damaged-2")), "two");
  EXPECT_EQ(testing::read_file(folder.file("p.jpg.damaged-3")), "three");
  EXPECT_EQ(move_aside(folder.path(), "absent.jpg", error), "");
  EXPECT_EQ(error, ENOENT);
}

// Only a photo's own file moves: never a folder, nor a link, nor a file elsewhere.
TEST(MoveAside, MovesOnlyARegularFileOfTheFolder) {
  TempFolder root;
  fs::create_directories(root.file("album/sub"));
  fs::create_symlink(root.file("album/sub"), root.file("album/link.jpg"));
  for (const auto& [name, want] :
       {std::pair{"sub", EISDIR}, std::pair{"link.jpg", EINVAL}, std::pair{"../album", EINVAL}}) {
    int error = 0;
    EXPECT_EQ(move_aside(root.file("album"), name, error), "") << name;
    EXPECT_EQ(error, want) << name;
  }
  EXPECT_TRUE(fs::is_directory(root.file("album/sub")) && fs::is_symlink(root.file("album/link.jpg")));
}

TEST(ForgetPhotos, RemovesOnlyTheGivenIdsFromTheRecordsHoldingThem) {
  TempFolder program;
  const std::map<std::string, std::vector<std::string>> held{{"11", {"a", "b", "c"}}, {"22", {"x", "y"}}};
  for (const auto& [user, ids] : held) {
    DownloadRecord record;
    ASSERT_TRUE(record.open_record_store(program.file(user + ".dlr")));
    for (const auto& id : ids) ASSERT_TRUE(record.add_record(id));
  }
  const auto changes = forget_photos(program.path(), {"a", "c", "y", "unknown"});
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].path + " " + std::to_string(changes[0].removed), program.file("11.dlr") + " 2");
  EXPECT_EQ(changes[1].path + " " + std::to_string(changes[1].removed), program.file("22.dlr") + " 1");
  for (const auto& [user, ids] : held) {
    DownloadRecord record;
    ASSERT_TRUE(record.open_record_store(program.file(user + ".dlr")));
    for (const auto& id : ids) EXPECT_EQ(record.is_recorded(id), id == "b" || id == "x") << id;
  }
}

}  // namespace
}  // namespace af
