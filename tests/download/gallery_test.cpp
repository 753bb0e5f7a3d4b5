// SPDX-License-Identifier: GPL-3.0-or-later
// The gallery page of a user folder: what it is made of, and the download that keeps it.
// What the page does in a browser: tests/ui/gallery_page_test.cpp.
#include "download/gallery.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <fstream>

#include "download/photo_file.h"
#include "download_fixture.h"
#include "support/archive_maker.h"

namespace af {
namespace {

namespace fs = std::filesystem;
using testing::read_file;

TEST(GalleryAlbums, InTheOrderTheyWereFirstSavedWithTheirPhotosInIndexOrder) {
  testing::TempFolder user;
  aftest::make_archive_album(user.path(), "旅行3", "旅行", {{"c", 3}, {"a", 1}, {"b", 2}}, 200);
  aftest::make_archive_album(user.path(), "B1", "B", {{"x", 1}}, 100);
  aftest::make_archive_album(user.path(), "A1", "A", {{"z", 1}}, 50);
  fs::create_directories(user.file("空"));  // no index
  fs::create_directories(user.file("断"));
  testing::write_file(user.file("断/.albumfetcher-index.jsonl"), "{\"file\":\"1_");  // cut by a crash

  // A folder an earlier release made for the same album: one album still, at its main folder.
  aftest::make_archive_album(user.path(), "旅行4", "旅行", {{"d", 4}}, 300);

  const auto albums = read_gallery_albums(user.path());
  ASSERT_EQ(albums.size(), 3u);
  EXPECT_EQ(albums[0].folder + albums[1].folder + albums[2].folder, "A1B1旅行3");
  EXPECT_EQ(albums[2].name, "旅行");
  ASSERT_EQ(albums[2].photos.size(), 4u);
  EXPECT_EQ(albums[2].photos[3].folder, "旅行4");
  EXPECT_NE(gallery_page("T", albums).find("\"旅行4\"]"), std::string::npos) << "the photo's own folder";
  EXPECT_EQ(albums[2].photos[0].caption, "c");
  EXPECT_EQ(albums[2].photos[0].uploaded, 3);
  EXPECT_EQ(albums[2].photos[2].file, "3_" + albums[2].photos[2].feed_id + ".jpg");
}

// Saved times are whole seconds: albums begun in the same second still come in the order
// they were downloaded, whatever their folders' names.
TEST(GalleryAlbums, InTheDownloadsOrderWhenBegunInOneSecond) {
  struct Album {
    const char* folder;
    const char* id;
    std::vector<std::int64_t> saved;  // one photo saved at each
  };
  struct Case {
    const char* name;
    std::vector<Album> albums;
    const char* order;
  };
  const Case cases[] = {
      {"the first done within the second",
       {{"微博配图45", "3558936301234568", {100, 101, 102}}, {"旅行12", "3558936301234569", {100}}},
       "旅行12 微博配图45"},
      {"a later run's photos do not move it",
       {{"家人3", "3558936301234567", {102}},
        {"微博配图45", "3558936301234568", {100, 101}},
        {"旅行12", "3558936301234569", {100, 500}}},
       "旅行12 微博配图45 家人3"},
      {"all in one second: by album id, as a number",
       {{"微博配图45", "3558936301234568", {100}},
        {"旅行12", "3558936301234567", {100}},
        {"家人3", "998", {100}}},
       "家人3 旅行12 微博配图45"},
  };
  for (const Case& c : cases) {
    testing::TempFolder user;
    for (const Album& album : c.albums)
      for (const std::int64_t saved : album.saved)
        aftest::make_archive_album(user.path(), album.folder, album.folder, {{"x", 1}}, saved, album.id);
    std::string order;
    for (const GalleryAlbum& album : read_gallery_albums(user.path()))
      order += (order.empty() ? "" : " ") + album.folder;
    EXPECT_EQ(order, c.order) << c.name;
  }
}

// An album folder whose pictures no index names is named on the page, as text; lines that
// name no file of their own folder are never shown.
TEST(GalleryPage, NamesTheAlbumsItLeftOut) {
  testing::TempFolder user;
  const auto kept = aftest::make_archive_album(user.path(), "旅行2", "旅行", {{"a", 1}, {"b", 2}}, 100);
  for (const char* file : {"无索引1/1_a.jpg", "<b>&\"x'3/1_a.gif", "坏行1/1_a.jpg", "笔记/notes.txt"}) {
    fs::create_directories(fs::path(user.file(file)).parent_path());
    testing::write_file(user.file(file), "x");
  }
  const std::string stolen = R"({"file":"../旅行2/)" + kept[0] + "\"}\n";
  testing::write_file(user.file("坏行1/.albumfetcher-index.jsonl"), stolen);
  std::ofstream(user.file("旅行2/.albumfetcher-index.jsonl"), std::ios::app) << stolen;
  ASSERT_EQ(write_gallery_page(user.path()).result, GalleryOutcome::Written);
  const std::string page = read_file(user.file("相册浏览.html"));
  EXPECT_NE(
      page.find(
          "</header>\n<p class=\"left-out\" style=\"margin:10px 24px 0;color:#c0392b\">未收入本页的相册文件夹"
          "（没有可读的相册索引）：&lt;b&gt;&amp;&quot;x&#39;3、坏行1、无索引1</p>\n<main "),
      std::string::npos);
  EXPECT_EQ(page.find("../"), std::string::npos);  // the lines naming another folder's file
  EXPECT_EQ(gallery_page("t", {}).find("left-out"), std::string::npos);  // none left out: no line
}

// The page is written album by album from the indexes; it is byte for byte the page made
// whole from every album read at once: an album split over two folders, a file indexed
// again, lines without an album id, markup in the texts, a folder left out.
TEST(GalleryPage, WrittenAlbumByAlbumAsMadeWhole) {
  testing::TempFolder user;
  aftest::make_archive_album(user.path(), "旅行3", "旅<行>&", {{"</script>a", 1}, {"b&c", 2}, {"\"d\"", 3}}, 200);
  aftest::make_archive_album(user.path(), "旅行4", "旅<行>&", {{"e", 4}}, 300);
  aftest::make_archive_album(user.path(), "B1", "B", {{"x", 5}}, 100, "998");
  aftest::make_archive_album(user.path(), "无号", "无号", {{"y", 6}, {"z", 7}}, 150, "");
  af::IndexedPhoto again = read_indexed_photos(user.file("旅行3"))[1];
  again.caption = G("再存一次");
  again.sha256 = "other";
  std::string error;
  AlbumIndex(user.file("旅行3")).add(again, error);
  // Lines without an album id: the folder is an album of its own.
  std::ofstream(user.file("无号/.albumfetcher-index.jsonl"), std::ios::app)
      << R"({"file":"9_n.jpg","photo_id":"9","caption":"no id","saved":120})" << "\n";
  fs::create_directories(user.file("无索引1"));
  testing::write_file(user.file("无索引1/1_a.jpg"), "x");

  ASSERT_EQ(write_gallery_page(user.path()).result, GalleryOutcome::Written);
  std::vector<std::string> left_out;
  const auto albums = read_gallery_albums(user.path(), &left_out);
  ASSERT_EQ(albums.size(), 4u);
  EXPECT_EQ(read_file(user.file("相册浏览.html")), gallery_page(user.path().substr(user.path().rfind('/') + 1),
                                                              albums, left_out));
}

// Whatever a text holds, the page's data block holds no markup and gives the text back.
TEST(GalleryPage, HostileTextsStayData) {
  for (const std::string text : {"</script><script>alert(1)</script>", "\"'><img src=x onerror=alert(2)>",
                                 "<!--<script>", "\u202Egnp.exe", "a&amp;b\\u003c\n\t\"", "春天的花🌸"}) {
    const std::string page = gallery_page(text, {GalleryAlbum{text, text, {{text, text, 1, text}}, 0}});
    const std::string open = "<script type=\"application/json\" id=\"data\">";
    const std::size_t begin = page.find(open) + open.size();
    const std::string data = page.substr(begin, page.find("</script>", begin) - begin);
    EXPECT_EQ(data.find_first_of("<>&"), std::string::npos) << text;
    json_object* root = json_tokener_parse(data.c_str());
    ASSERT_NE(root, nullptr) << text;
    json_object* album = json_object_array_get_idx(json_object_object_get(root, "albums"), 0);
    json_object* photo = json_object_array_get_idx(json_object_object_get(album, "photos"), 0);
    EXPECT_EQ(json_object_get_string(json_object_object_get(root, "title")), text);
    EXPECT_EQ(json_object_get_string(json_object_object_get(album, "name")), text);
    EXPECT_EQ(json_object_get_string(json_object_array_get_idx(photo, 1)), text);
    json_object_put(root);
  }
}

class GalleryDownloadTest : public testing::DownloadTest {
 protected:
  void SetUp() override {
    DownloadTest::SetUp();
    write_setting(settings_section(), gallery_key(), "1");
    auto user = afsample::make_user("1001", "/u/1001", "小明的微博");
    user.albums.push_back(afsample::make_album("100100000001", "旅行", 3));
    user.albums.push_back(afsample::make_album("100100000002", "家人", 2));
    service().add_user(user);
    for (int i = 0; i < 2; ++i) view_.rows.push_back(row_of(i + 1, user.albums[i]));
  }
  const std::string user_ = save_.path() + "/小明的微博";
  const std::string page_ = user_ + "/相册浏览.html";
};

TEST_F(GalleryDownloadTest, EachAlbumRewritesThePageAndTheLogNamesIt) {
  std::string page_at_second_album;
  view_.on_log = [&](const std::string& text) {
    if (text.find(G("准备下载相册《家人》")) != std::string::npos) page_at_second_album = read_file(page_);
  };
  run("1001", "小明的微博");
  EXPECT_NE(page_at_second_album.find("\"旅行3\""), std::string::npos);
  EXPECT_EQ(page_at_second_album.find("\"家人2\""), std::string::npos);

  const auto albums = read_gallery_albums(user_);
  ASSERT_EQ(albums.size(), 2u);
  EXPECT_EQ(albums[0].folder, "旅行3") << "the album downloaded first";
  EXPECT_EQ(read_file(page_), gallery_page("小明的微博", albums));
  std::vector<std::string> names;  // nothing left beside the page
  for (const auto& entry : fs::directory_iterator(user_)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"家人2", "旅行3", "相册浏览.html"}));
  EXPECT_NE(view_.log().find(G("---完成相册《家人2》下载\r\n\r\n相册浏览页：") + utf8_to_gb18030(page_) +
                             "\r\n\r\n" + G("-------全部下载完毕--------")),
            std::string::npos)
      << gbk_to_utf8(view_.log());
}

TEST_F(GalleryDownloadTest, NoPageWithoutTheIndexOrWhenSwitchedOff) {
  for (const auto& [index, gallery] : {std::pair{"0", "1"}, std::pair{"1", "0"}}) {
    write_setting(settings_section(), index_key(), index);
    write_setting(settings_section(), gallery_key(), gallery);
    run("1001", "小明的微博");
    EXPECT_FALSE(fs::exists(page_)) << index << gallery;
    EXPECT_EQ(view_.log().find(G("相册浏览页")), std::string::npos) << index << gallery;
  }
}

// A page write killed before its rename leaves its temporary file in the user folder: the
// next page written there, or the next download into it, removes it, and nothing else.
TEST_F(GalleryDownloadTest, ATemporaryPageLeftByAKillGoesWithTheNextWriteOrDownload) {
  for (const bool download : {false, true}) {
    fs::create_directories(user_);
    const std::vector<std::string> left{temporary_photo_path(user_, 7),
                                        user_ + "/.albumfetcher-999999999-3.part"};
    for (const auto& path : left) testing::write_file(path, "<!DOCTYPE html>");
    for (const char* name : {"/notes.part", "/.albumfetcher-notes.txt"})
      testing::write_file(user_ + name, "mine");
    if (download) {
      write_setting(settings_section(), gallery_key(), "0");  // no page: the download's own clean-up
      run("1001", "小明的微博");
    } else {
      aftest::make_archive_album(user_, "旅行3", "旅行", {{"a", 1}}, 100);
      EXPECT_EQ(write_gallery_page(user_).result, GalleryOutcome::Written);
    }
    for (const auto& path : left) EXPECT_FALSE(fs::exists(path)) << download << path;
    for (const char* name : {"/notes.part", "/.albumfetcher-notes.txt"})
      EXPECT_EQ(read_file(user_ + name), "mine") << download << name;
    fs::remove_all(user_);
  }
}

TEST_F(GalleryDownloadTest, APageThatCannotBeWrittenIsToldOnceAndCostsNoPhoto) {
  fs::create_directories(page_ + "/taken");  // its name is a folder's
  run("1001", "小明的微博");
  const std::string told = G("相册浏览页写入失败：") + utf8_to_gb18030(page_) + G("（");
  EXPECT_NE(view_.log().find(told), std::string::npos) << gbk_to_utf8(view_.log());
  EXPECT_EQ(view_.log().find(told), view_.log().rfind(told));
  EXPECT_EQ(files_under(user_).size(), 5u);
  EXPECT_EQ(view_.messages(), std::vector<std::string>{G("全部下载完毕")});
}

}  // namespace
}  // namespace af
