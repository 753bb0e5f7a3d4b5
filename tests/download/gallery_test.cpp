// The page to look through a user folder: what it is made of, how it is written, and the
// download that keeps it up to date. What the page does in a browser is tested in
// tests/ui/gallery_page_test.cpp.
#include "download/gallery.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include "download_fixture.h"
#include "support/archive_maker.h"

namespace af {
namespace {

namespace fs = std::filesystem;
using aftest::make_archive_album;
using testing::read_file;
using testing::TempFolder;

// The page's data block, parsed.
std::string page_data(const std::string& page) {
  const std::string open = "<script type=\"application/json\" id=\"data\">";
  const std::size_t begin = page.find(open) + open.size();
  return page.substr(begin, page.find("</script>", begin) - begin);
}

std::vector<std::string> files_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(GalleryAlbums, AlbumsInTheOrderTheyWereFirstSavedWithTheirPhotosInIndexOrder) {
  TempFolder user;
  make_archive_album(user.path(), "旅行3", "旅行", {{"c", 3}, {"a", 1}, {"b", 2}}, 200);
  make_archive_album(user.path(), "B2", "B", {{"x", 1}, {"y", 2}}, 100);
  make_archive_album(user.path(), "A1", "A", {{"z", 1}}, 100);
  fs::create_directories(user.file("空相册"));  // no index: not an album of the page
  fs::create_directories(user.file("断了"));
  testing::write_file(user.file("断了/.albumfetcher-index.jsonl"), "{\"file\":\"1_");  // cut by a crash

  const auto albums = read_gallery_albums(user.path());
  ASSERT_EQ(albums.size(), 3u);
  EXPECT_EQ(albums[0].folder, "A1");
  EXPECT_EQ(albums[1].folder, "B2");
  EXPECT_EQ(albums[2].folder, "旅行3");
  EXPECT_EQ(albums[2].name, "旅行");
  ASSERT_EQ(albums[2].photos.size(), 3u);
  EXPECT_EQ(albums[2].photos[0].caption, "c");
  EXPECT_EQ(albums[2].photos[0].uploaded, 3);
  EXPECT_EQ(albums[2].photos[2].file, "3_" + albums[2].photos[2].feed_id + ".jpg");
}

// Whatever a caption holds, the data block holds no markup and gives the caption back.
TEST(GalleryPage, HostileTextsStayData) {
  const std::string hostile[] = {"</script><script>alert(1)</script>",
                                 "\"'><img src=x onerror=alert(2)>",
                                 "<!--<script>",
                                 "\xE2\x80\xAE" "gnp.exe",  // right-to-left override
                                 "a&amp;b\\u003c\n\t\"",
                                 "春天的花🌸"};
  for (const std::string& text : hostile) {
    GalleryAlbum album{text, text, {{text, text, 1365061200, text}}, 0};
    const std::string page = gallery_page(text, {album});
    const std::string data = page_data(page);
    EXPECT_EQ(data.find_first_of("<>&"), std::string::npos) << text;
    json_object* root = json_tokener_parse(data.c_str());
    ASSERT_NE(root, nullptr) << text;
    json_object* albums = json_object_object_get(root, "albums");
    json_object* photo = json_object_array_get_idx(
        json_object_object_get(json_object_array_get_idx(albums, 0), "photos"), 0);
    EXPECT_EQ(json_object_get_string(json_object_object_get(root, "title")), text);
    EXPECT_EQ(json_object_get_string(json_object_array_get_idx(photo, 1)), text);
    json_object_put(root);
  }
}

// Nothing of the page comes from elsewhere: the one outside address is the post's link.
TEST(GalleryPage, AsksNothingOfTheNetwork) {
  const std::string page = gallery_page("t", {});
  std::size_t at = 0, found = 0;
  while ((at = page.find("http", at)) != std::string::npos) {
    EXPECT_TRUE(page.compare(at, 26, "https://m.weibo.cn/status/") == 0 ||
                page.compare(at, 10, "http-equiv") == 0)
        << page.substr(at, 40);
    at += 4;
    ++found;
  }
  EXPECT_EQ(found, 2u);
  EXPECT_EQ(page.find("@import"), std::string::npos);
  EXPECT_EQ(page.find("url("), std::string::npos);
}

TEST(GalleryPageFile, WrittenWholeAndReplacedWithNothingLeftBeside) {
  TempFolder user;
  const GalleryOutcome none = write_gallery_page(user.path());
  EXPECT_EQ(none.result, GalleryOutcome::NoAlbums);
  EXPECT_TRUE(files_in(user.path()).empty());

  make_archive_album(user.path(), "A2", "A", {{"a", 1}, {"b", 2}}, 100);
  const GalleryOutcome first = write_gallery_page(user.path());
  EXPECT_EQ(first.result, GalleryOutcome::Written);
  EXPECT_EQ(first.path, user.file("相册浏览.html"));
  EXPECT_EQ(first.albums, 1u);
  EXPECT_EQ(first.photos, 2u);
  make_archive_album(user.path(), "B1", "B", {{"c", 3}}, 200);
  const GalleryOutcome second = write_gallery_page(user.path());
  EXPECT_EQ(second.photos, 3u);
  EXPECT_EQ(files_in(user.path()), (std::vector<std::string>{"A2", "B1", "相册浏览.html"}));
  EXPECT_EQ(read_file(second.path), gallery_page(fs::path(user.path()).filename().string(),
                                                 read_gallery_albums(user.path())));
  EXPECT_EQ(fs::status(second.path).permissions() & fs::perms::others_read, fs::perms::others_read);
}

TEST(GalleryPageFile, AFailureSaysWhyAndLeavesNothing) {
  TempFolder user;
  make_archive_album(user.path(), "A1", "A", {{"a", 1}}, 100);
  fs::create_directories(user.file("相册浏览.html/taken"));  // the name is a folder's
  const GalleryOutcome page = write_gallery_page(user.path());
  EXPECT_EQ(page.result, GalleryOutcome::Failed);
  EXPECT_FALSE(page.cause.empty());
  EXPECT_EQ(files_in(user.path()), (std::vector<std::string>{"A1", "相册浏览.html"}));
}

TEST(GalleryUserFolders, AUserFolderOrEveryUserFolderOfASaveFolder) {
  TempFolder save;
  make_archive_album(save.file("小明"), "A1", "A", {{"a", 1}}, 100);
  make_archive_album(save.file("Bob"), "B1", "B", {{"b", 1}}, 100);
  fs::create_directories(save.file("其他/空"));
  EXPECT_EQ(gallery_user_folders(save.path()), (std::vector<std::string>{save.file("Bob"), save.file("小明")}));
  EXPECT_EQ(gallery_user_folders(save.file("小明")), std::vector<std::string>{save.file("小明")});
  EXPECT_TRUE(gallery_user_folders(save.file("其他")).empty());
  EXPECT_TRUE(gallery_user_folders(save.file("missing")).empty());
}

// ---- the download keeps the page ----

class GalleryDownloadTest : public testing::DownloadTest {
 protected:
  void SetUp() override {
    DownloadTest::SetUp();
    auto user = afsample::make_user("1001", "/u/1001", "小明的微博");
    user.albums.push_back(afsample::make_album("100100000001", "旅行", 3));
    user.albums.push_back(afsample::make_album("100100000002", "家人", 2));
    service().add_user(user);
    for (int i = 0; i < 2; ++i) view_.rows.push_back(row_of(i + 1, user.albums[i]));
  }
  std::string page_path() const { return save_.path() + "/小明的微博/相册浏览.html"; }
};

TEST_F(GalleryDownloadTest, EachAlbumRewritesThePageAndTheLogNamesIt) {
  // When the second album begins, the page holds the first one.
  std::string page_at_second_album;
  view_.on_log = [&](const std::string& text) {
    if (text.find(G("准备下载相册《家人》")) != std::string::npos) page_at_second_album = read_file(page_path());
  };
  run("1001", "小明的微博");
  EXPECT_NE(page_at_second_album.find("\"旅行3\""), std::string::npos);
  EXPECT_EQ(page_at_second_album.find("\"家人2\""), std::string::npos);

  const auto albums = read_gallery_albums(save_.path() + "/小明的微博");
  ASSERT_EQ(albums.size(), 2u);
  EXPECT_EQ(albums[0].photos.size() + albums[1].photos.size(), 5u);
  EXPECT_EQ(read_file(page_path()), gallery_page("小明的微博", albums));
  const std::string log = view_.log();
  EXPECT_NE(log.find(G("---完成相册《家人2》下载\r\n\r\n相册浏览页：") + utf8_to_gb18030(page_path()) +
                     "\r\n\r\n" + G("-------全部下载完毕--------")),
            std::string::npos)
      << gbk_to_utf8(log);
}

TEST_F(GalleryDownloadTest, NoPageWithoutTheIndexOrWhenSwitchedOff) {
  for (const char* key : {"index", "gallery"}) {
    write_setting(settings_section(), index_key(), key == std::string("index") ? "0" : "1");
    write_setting(settings_section(), gallery_key(), key == std::string("gallery") ? "0" : "1");
    run("1001", "小明的微博");
    EXPECT_FALSE(fs::exists(page_path())) << key;
    EXPECT_EQ(view_.log().find(G("相册浏览页")), std::string::npos) << key;
  }
}

TEST_F(GalleryDownloadTest, APageThatCannotBeWrittenIsToldOnceAndCostsNoPhoto) {
  fs::create_directories(page_path() + "/taken");
  run("1001", "小明的微博");
  const std::string log = view_.log();
  const std::string told = G("相册浏览页写入失败：") + utf8_to_gb18030(page_path());
  EXPECT_NE(log.find(told), std::string::npos) << gbk_to_utf8(log);
  EXPECT_EQ(log.find(told), log.rfind(told));
  EXPECT_EQ(files_under(save_.path() + "/小明的微博").size(), 5u);
  EXPECT_EQ(view_.messages(), std::vector<std::string>{G("全部下载完毕")});
}

}  // namespace
}  // namespace af
