// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <string>

#include "download/photo_saver.h"
#include "service/photo_list.h"
#include "support/bounded_wait.h"
#include "temp_folder.h"
#include "util/codepage.h"

namespace af {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempFolder;

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// What the window and the log say of a refused write is Chinese through and through.
TEST(DiskErrorCause, ChineseWordsOnly) {
  for (int error : {ENOTDIR, ENOENT, EACCES, EROFS, ENOSPC, EDQUOT, EIO, ENAMETOOLONG, EISDIR, EXDEV}) {
    const std::string cause = disk_error_cause(error);
    EXPECT_FALSE(cause.empty());
    EXPECT_TRUE(std::none_of(cause.begin(), cause.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); }))
        << gbk_to_utf8(cause);
  }
}

TEST(WritePhotoFile, WritesTheBytesUnderTheNameAndLeavesNoTemporaryFile) {
  TempFolder folder;
  const std::string bytes("\xff\xd8\x00\x01 jpeg", 10);
  ASSERT_TRUE(write_photo_file(folder.path(), "1_cap_99.jpg", bytes, true));
  EXPECT_EQ(read_file(folder.file("1_cap_99.jpg")), bytes);
  EXPECT_EQ(names_in(folder.path()), std::vector<std::string>{"1_cap_99.jpg"});
}

TEST(WritePhotoFile, ReplacesAnExistingFileWhole) {
  TempFolder folder;
  testing::write_file(folder.file("1_a_b.jpg"), std::string(1000, 'x'));
  ASSERT_TRUE(write_photo_file(folder.path(), "1_a_b.jpg", "short", false));
  EXPECT_EQ(read_file(folder.file("1_a_b.jpg")), "short");
}

TEST(WritePhotoFile, EmptyBodyGivesAnEmptyFile) {
  TempFolder folder;
  ASSERT_TRUE(write_photo_file(folder.path(), "2__x.gif", "", false));
  EXPECT_TRUE(fs::exists(folder.file("2__x.gif")));
  EXPECT_EQ(fs::file_size(folder.file("2__x.gif")), 0u);
}

TEST(WritePhotoFile, RefusesNamesThatLeaveTheFolder) {
  TempFolder folder;
  fs::create_directory(folder.file("album"));
  for (const char* name : {"../escaped.jpg", "a/b.jpg", "..", ".", ""})
    EXPECT_FALSE(write_photo_file(folder.file("album"), name, "x", false)) << name;
  EXPECT_EQ(names_in(folder.path()), std::vector<std::string>{"album"});
  EXPECT_TRUE(names_in(folder.file("album")).empty());
}

TEST(WritePhotoFile, ANameTooLongFailsAndLeavesNothing) {
  TempFolder folder;
  EXPECT_FALSE(write_photo_file(folder.path(), std::string(300, 'n') + ".jpg", "bytes", false));
  EXPECT_TRUE(names_in(folder.path()).empty());
}

TEST(WritePhotoFile, AMissingFolderFails) {
  TempFolder folder;
  EXPECT_FALSE(write_photo_file(folder.file("missing"), "1_a_b.jpg", "x", false));
  EXPECT_FALSE(fs::exists(folder.file("missing")));
}

TEST(TemporaryPhoto, IsWrittenFlushedAndPutInPlace) {
  TempFolder folder;
  TemporaryPhoto photo(folder.path(), "bytes of a photo");
  ASSERT_TRUE(photo.written());
  EXPECT_EQ(read_file(photo.path()), "bytes of a photo");
  EXPECT_EQ(fs::path(photo.path()).parent_path(), fs::path(folder.path()));
  EXPECT_FALSE(photo.put_in_place("1_a_b.jpg"));  // not before it is finished
  ASSERT_TRUE(photo.finish(true));
  ASSERT_TRUE(photo.put_in_place("1_a_b.jpg"));
  EXPECT_EQ(names_in(folder.path()), std::vector<std::string>{"1_a_b.jpg"});
  EXPECT_EQ(read_file(folder.file("1_a_b.jpg")), "bytes of a photo");
}

TEST(TemporaryPhoto, ARefusedNameLeavesItTemporaryForAnotherName) {
  TempFolder folder;
  {
    TemporaryPhoto photo(folder.path(), "x");
    ASSERT_TRUE(photo.finish(false));
    EXPECT_FALSE(photo.put_in_place(std::string(300, 'n') + ".jpg"));
    EXPECT_FALSE(photo.put_in_place("../escaped.jpg"));
    EXPECT_TRUE(fs::exists(photo.path()));
    EXPECT_TRUE(photo.put_in_place("short.jpg"));
    EXPECT_FALSE(photo.put_in_place("again.jpg"));  // once in place it stays there
  }
  EXPECT_EQ(names_in(folder.path()), std::vector<std::string>{"short.jpg"});
}

TEST(TemporaryPhoto, OneNeverPutInPlaceIsRemoved) {
  TempFolder folder;
  std::string first, second;
  {
    TemporaryPhoto a(folder.path(), "a");
    TemporaryPhoto b(folder.path(), "b");
    first = a.path();
    second = b.path();
    EXPECT_NE(first, second);  // every photo has a name of its own
    ASSERT_TRUE(a.finish(true));
    EXPECT_EQ(names_in(folder.path()).size(), 2u);
    b.discard();
    EXPECT_FALSE(fs::exists(second));
    EXPECT_FALSE(b.finish(true));
    EXPECT_FALSE(b.put_in_place("b.jpg"));
  }
  EXPECT_TRUE(names_in(folder.path()).empty());
}

TEST(TemporaryPhoto, AMissingFolderIsNotWritten) {
  TempFolder folder;
  TemporaryPhoto photo(folder.file("missing"), "x");
  EXPECT_FALSE(photo.written());
  EXPECT_FALSE(photo.finish(true));
  EXPECT_FALSE(photo.put_in_place("1_a_b.jpg"));
  EXPECT_TRUE(names_in(folder.path()).empty());
}

TEST(TemporaryPhoto, ItsNamesAreTheOnesRemovedAsLeftovers) {
  TempFolder folder;
  TemporaryPhoto photo(folder.path(), "x");
  ASSERT_TRUE(photo.written());
  remove_temporary_files(folder.path());
  EXPECT_TRUE(names_in(folder.path()).empty());
}

TEST(MakeAlbumFolder, CreatesEveryMissingParent) {
  TempFolder folder;
  const std::string path = folder.file("save/user/album12");
  EXPECT_TRUE(make_album_folder(path));
  EXPECT_TRUE(fs::is_directory(path));
  EXPECT_TRUE(make_album_folder(path));  // existing: fine
  testing::write_file(folder.file("file"), "x");
  EXPECT_FALSE(make_album_folder(folder.file("file/sub")));
}

TEST(RemoveTemporaryFiles, RemovesOnlyTheDownloadsOwn) {
  TempFolder folder;
  testing::write_file(temporary_photo_path(folder.path()), "partial");
  testing::write_file(folder.file(".albumfetcher-1234.part"), "partial");
  testing::write_file(folder.file("1_a_b.jpg"), "whole");
  testing::write_file(folder.file("notes.part"), "mine");
  remove_temporary_files(folder.path());
  EXPECT_EQ(names_in(folder.path()), (std::vector<std::string>{"1_a_b.jpg", "notes.part"}));
  remove_temporary_files(folder.file("missing"));  // no folder: nothing happens
}

// Another download of the same album in another running process (the window and the
// command line) keeps its temporary files: its rename must still find them. A process that
// is gone leaves only leftovers.
TEST(RemoveTemporaryFiles, LeavesThoseOfAnotherRunningProcess) {
  TempFolder folder;
  auto live = aftest::Child::bare([] { ::pause(); });  // until killed below
  auto dead = aftest::Child::bare([] {});
  const pid_t dead_pid = dead.pid();
  // Reaped: its id names no process now.
  ASSERT_TRUE(aftest::exited_with(dead.wait(), 0)) << "the child that only exits";

  const auto named = [&](pid_t pid) {
    return ".albumfetcher-" + std::to_string(pid) + "-7.part";
  };
  testing::write_file(folder.file(named(live.pid())), "the other download's photo");
  testing::write_file(folder.file(named(dead_pid)), "a leftover");
  testing::write_file(temporary_photo_path(folder.path(), 3), "our own leftover");
  remove_temporary_files(folder.path());
  const auto names = names_in(folder.path());

  const std::string live_name = named(live.pid());
  ASSERT_TRUE(aftest::killed_by(live.kill(), SIGKILL)) << "the waiting child";
  EXPECT_EQ(names, std::vector<std::string>{live_name});
  EXPECT_EQ(read_file(folder.file(live_name)), "the other download's photo");
  // Once that process is gone, its file is a leftover too.
  remove_temporary_files(folder.path());
  EXPECT_TRUE(names_in(folder.path()).empty());
}

TEST(FailureLine, IsTheFixedTextWithoutSpaces) {
  PhotoEntry entry;
  entry.photo_id = "3558936301234567001";
  entry.feed_id = "3558/..";
  EXPECT_EQ(failure_line(entry), G("失败") + "3558936301234567001" + G("微博id") + "3558/..\r\n");
}

}  // namespace
}  // namespace af
