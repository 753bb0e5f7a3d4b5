// SPDX-License-Identifier: GPL-3.0-or-later
// The command line and the archive: --list-photos prints what a download would save
// without fetching an image, --index chooses the album index for one run, and --gallery
// writes the pages of archives already on disk.
#include <gtest/gtest.h>

#include <sstream>

#include "cli_fixture.h"
#include "download/archive.h"
#include "support/archive_maker.h"

namespace aftest::cli {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(CliTest, ListPhotosPrintsWhatADownloadWouldSaveInItsOrder) {
  auto user = afsample::make_user("3001", "/u/3001", "T");
  auto first = afsample::make_album("300100000001", "One", 3, 2);
  first.photos[1].caption_render = "tab\there";
  first.photos[2].timestamp_json = "\"1400000000 or so\"";
  auto second = afsample::make_album("300100000002", "Two", 130);  // two pages
  user.albums = {first, second};
  service().add_user(user);

  const CliResult result = run_with({"--list-photos", home(user)});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(image_requests(), 0u);
  const auto lines = lines_of(result.out);
  ASSERT_EQ(lines.size(), 133u);
  EXPECT_EQ(lines[0], "1\t" + af::china_time_text(first.photos[0].timestamp) + "\t" + base() + "/large/" +
                          first.photos[0].pic_name + "\t" + first.photos[0].caption_render);
  EXPECT_EQ(lines[1].substr(lines[1].rfind('\t') + 1), "tab here");
  EXPECT_EQ(lines[2].substr(0, 19), "3\t1400000000 or so\t");
  EXPECT_EQ(lines[3].substr(0, 2), "1\t");
  EXPECT_EQ(lines[132].substr(0, 4), "130\t");
  EXPECT_NE(result.err.find("Two"), std::string::npos);

  // The same photos, in the same order, as a download saves them.
  const CliResult saved = run_with({"--albums", "2", "--record", "on", home(user)});
  ASSERT_EQ(saved.exit_code, 0) << saved.err;
  // With the record on, what was saved is no longer listed.
  const CliResult after = run_with({"--list-photos", "--record", "on", home(user)});
  EXPECT_EQ(lines_of(after.out).size(), 3u);
}

TEST_F(CliTest, ListPhotosStopsAtAPageThatStaysBadAndSaysSo) {
  auto user = afsample::make_user("3004", "/u/3004", "T");
  auto album = afsample::make_album("300400000001", "P", 150);
  user.albums = {album};
  service().add_user(user);
  afsample::Fault fault;
  fault.kind = afsample::FaultKind::ServerError;
  fault.path = "/photos/get_all";
  fault.query_contains = "&page=2&";
  service().add_fault(fault);
  const CliResult result = run_with({"--list-photos", home(user)});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(lines_of(result.out).size(), 100u);  // the first page only
  EXPECT_NE(result.err.find("500"), std::string::npos) << result.err;
  EXPECT_EQ(image_requests(), 0u);
}

TEST_F(CliTest, ListPhotosFollowsTheRange) {
  auto user = afsample::make_user("3002", "/u/3002", "T");
  auto album = afsample::make_album("300200000001", "R", 48);  // one photo an hour from 2013-04-03
  user.albums = {album};
  service().add_user(user);
  const CliResult result = run_with({"--list-photos", "--range", "2013-04-04", "2013-04-05", home(user)});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const auto lines = lines_of(result.out);
  ASSERT_FALSE(lines.empty());
  for (const auto& line : lines) EXPECT_NE(line.find("\t2013-04-04T"), std::string::npos) << line;
  EXPECT_EQ(lines.size(), 24u);  // 00:40 to 23:40 of the 4th
}

TEST_F(CliTest, IndexOnOrOffForOneRun) {
  auto user = afsample::make_user("3003", "/u/3003", "T");
  auto album = afsample::make_album("300300000001", "I", 4);
  user.albums = {album};
  service().add_user(user);
  const std::string folder = save_.path() + "/" + album_path(user, album);
  const std::string index = folder + "/" + std::string(af::kAlbumIndexName);

  ASSERT_EQ(run_with({"--index", "off", home(user)}).exit_code, 0);
  EXPECT_FALSE(std::filesystem::exists(index));
  ASSERT_EQ(run_with({home(user)}).exit_code, 0);  // on unless the window switched it off
  EXPECT_EQ(af::read_album_index(folder).size(), 4u);
  EXPECT_EQ(run_with({"--index", "maybe", home(user)}).exit_code, 2);
}

TEST_F(CliTest, GalleryWritesThePagesOfWhatIsOnDisk) {
  const std::string save = save_.path();
  make_archive_album(save + "/小明", "旅行2", "旅行", {{"a", 1}, {"b", 2}}, 100);
  make_archive_album(save + "/Bob", "B1", "B", {{"c", 3}}, 100);
  const std::string bob = "相册浏览页：" + save + "/Bob/相册浏览.html（1个相册，1张照片）\n";
  const std::string ming = "相册浏览页：" + save + "/小明/相册浏览.html（1个相册，2张照片）\n";
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string out;
    const char* said;
  };
  for (const auto& [args, exit_code, out, said] :
       {Case{{"--gallery", save}, 0, bob + ming, ""}, Case{{"--gallery=" + save + "/小明/"}, 0, ming, ""},
        Case{{"--gallery", save + "/Bob/B1"}, 1, "", "no album folder with an album index"},
        Case{{"--gallery", save + "/missing"}, 2, "", "is not a folder"},
        Case{{"--gallery", save, "http://weibo.com/u/1"}, 2, "", "no home page address"}}) {
    const CliResult result = run(args);
    EXPECT_EQ(result.exit_code, exit_code) << args[0];
    EXPECT_EQ(result.out, out);
    EXPECT_NE(result.err.find(said), std::string::npos) << result.err;
  }
  EXPECT_TRUE(service().requests().empty());
}

}  // namespace
}  // namespace aftest::cli
