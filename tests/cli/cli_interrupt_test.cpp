// SPDX-License-Identifier: GPL-3.0-or-later
// albumfetcher-cli ended by SIGINT or SIGTERM in the middle of a download: it ends the
// download the way the window's end button does, leaves no partly written photo and no
// temporary file, keeps the record readable, and says so in its exit status. A second
// SIGINT quits at once, before the record's last entries; the rerun then fetches only the
// photos that were not on disk all the same.
#include "cli_fixture.h"
#include "download/record_store.h"

namespace aftest::cli {
namespace {

using afsample::make_album;
using afsample::make_user;
using aftest::eventually;

struct SignalCase {
  const char* name;
  int signal;
  bool twice = false;
};

class CliInterruptTest : public CliTest, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(CliInterruptTest, SignalMidDownloadLeavesOnlyCompletePhotos) {
  auto user = make_user("3001", "/u/3001", "T");
  // The real 50 ms pause after each photo: the download takes far longer than it takes to
  // see its first photos and send the signal.
  auto album = make_album("3558936321000001", "Big", 300);
  for (auto& photo : album.photos) photo.image_size = 20000;
  user.albums.push_back(album);
  service().add_user(user);

  std::vector<std::string> args = {"--program-dir", program_.path(), "--pace-factor", "1",
                                   "--service-base", base(),         "--save-dir",    save_.path(),
                                   "--record",       "on",           home(user)};
  CliProcess child(args, output_.path());
  ASSERT_TRUE(child.started());

  const std::string folder = save_.path() + "/" + album_path(user, album);
  auto photos_on_disk = [&] {
    std::size_t n = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
      if (it->path().filename().string().front() != '.') ++n;
    return n;
  };
  // The end appends the photos held for the record: with four on disk, three or more are recorded.
  ASSERT_TRUE(eventually([&] { return photos_on_disk() >= 4; })) << "the download never got going";
  // Twice: this test holds the record's write lock from here on, so that the end's last
  // append waits and the second signal quits before it, with a photo saved since the lock.
  af::DownloadRecord writer;
  if (GetParam().twice) {
    ASSERT_TRUE(writer.open_record_store(af::record_store_path(user.uid)));
    ASSERT_TRUE(eventually([&] { return writer.stage_record("0"); })) << "the record's lock";
    const std::size_t locked_at = photos_on_disk();
    ASSERT_TRUE(eventually([&] { return photos_on_disk() > locked_at; })) << "a photo saved since the lock";
  }
  child.send(GetParam().signal);
  const auto sent = std::chrono::steady_clock::now();
  if (GetParam().twice) {
    ASSERT_TRUE(eventually([&] { return read_file(output_.file("stdout.txt")).find("已结束下载") != std::string::npos; }));
    child.send(GetParam().signal);
  }
  const CliResult result = child.wait(std::chrono::seconds(60));
  writer.drop_staged();
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(35));

  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exit_code, 128 + GetParam().signal) << result.err;
  EXPECT_EQ(result.out.find("全部下载完毕"), std::string::npos) << result.out;
  EXPECT_EQ(result.err.find("全部下载完毕"), std::string::npos) << result.err;

  // Every file there is a complete photo under its final name; nothing else is left.
  std::map<std::string, std::string> wanted;
  for (std::size_t i = 0; i < album.photos.size(); ++i)
    wanted[photo_name(album.photos[i], static_cast<int>(i + 1))] = service().image_bytes(album.photos[i].pic_name);
  auto files = files_under(folder);
  if (GetParam().twice) std::erase_if(files, [](const auto& file) { return file.first[0] == '.'; });  // under way
  EXPECT_GE(files.size(), 3u);
  EXPECT_LT(files.size(), album.photos.size());
  for (const auto& [name, bytes] : files) {
    ASSERT_TRUE(wanted.count(name)) << "unexpected file " << name;
    EXPECT_EQ(bytes.size(), wanted[name].size()) << name;
    EXPECT_TRUE(bytes == wanted[name]) << name;
  }

  // The record opens, and every photo it holds is on disk.
  af::DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(af::record_store_path(user.uid)));
  std::size_t recorded = 0;
  for (std::size_t i = 0; i < album.photos.size(); ++i) {
    if (!record.is_recorded(album.photos[i].photo_id)) continue;
    ++recorded;
    EXPECT_TRUE(files.count(photo_name(album.photos[i], static_cast<int>(i + 1)))) << i;
  }
  if (GetParam().twice) {
    EXPECT_LT(recorded, files.size()) << "all of them recorded before the quit";
  } else {
    EXPECT_GE(recorded, 3u);
  }
  record.close_record_store();

  // A second run with the record on takes up where the first stopped and completes it.
  service().clear_requests();
  std::vector<std::string> again = args;
  again[3] = "0";  // no waits
  const CliResult rest = run(again);
  EXPECT_EQ(rest.exit_code, 0) << rest.err;
  EXPECT_EQ(image_requests(), album.photos.size() - files.size());
  EXPECT_EQ(files_under(folder).size(), album.photos.size());
}

TEST_F(CliTest, SignalDuringTheHomePageFetchEndsAtOnce) {
  auto user = make_user("3002", "/u/3002", "T");
  user.albums.push_back(make_album("3558936322000001", "A", 2));
  service().add_user(user);
  afsample::Fault slow;
  slow.kind = afsample::FaultKind::Slow;
  slow.path = user.path;
  slow.times = 1;
  slow.delay = std::chrono::seconds(15);
  service().add_fault(slow);

  std::vector<std::string> args = base_args();
  args.insert(args.end(), {"--save-dir", save_.path(), home(user)});
  CliProcess child(args, output_.path());
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(eventually([&] { return !service().requests_to(user.path).empty(); }))
      << "the home page was never asked for";
  child.send(SIGINT);
  const auto sent = std::chrono::steady_clock::now();
  const CliResult result = child.wait(std::chrono::seconds(60));
  // The page would take 15 s; the signal cuts it short.
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(10));
  EXPECT_EQ(result.exit_code, 128 + SIGINT) << result.err;
  EXPECT_TRUE(result.out.empty()) << result.out;
  EXPECT_TRUE(service().requests_to("/albums/get_all").empty());
  EXPECT_TRUE(files_under(save_.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, CliInterruptTest,
                         ::testing::Values(SignalCase{"Interrupt", SIGINT}, SignalCase{"Terminate", SIGTERM},
                                           SignalCase{"InterruptTwice", SIGINT, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace aftest::cli
