// SPDX-License-Identifier: GPL-3.0-or-later
// Saving with the photos flushed to disk (the program's default): a photo is written to a
// temporary file within the wait after its fetch; its group is flushed, renamed into place,
// its folder flushed, and only then recorded; pause holds the save, end leaves no temporary
// file and no record without its photo, and the download's finish comes only once every
// photo is in place. What a power cut would keep (the bytes and names flushed) never holds
// a final name without its bytes, nor a recorded photo without its name.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>

#include "download/photo_saver.h"
#include "download/record_store.h"
#include "download/step_gate.h"
#include "download_fixture.h"

namespace af {
namespace {

namespace fs = std::filesystem;
using testing::DownloadTest;
using Clock = std::chrono::steady_clock;

bool is_temporary(const std::string& path) { return path.find(".albumfetcher-") != std::string::npos; }

class FlushedSaveTest : public DownloadTest {
 protected:
  DownloaderOptions flushed(bool during_wait = true) {
    DownloaderOptions o = options();
    o.sync_files = true;
    o.save_during_wait = during_wait;
    return o;
  }

  void run_flushed(const std::string& uid, bool during_wait = true) {
    Downloader downloader(view_, flushed(during_wait));
    ASSERT_TRUE(downloader.start(view_.request(uid, G("T"))));
    ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(120)));
    EXPECT_EQ(downloader.state(), DownloadState::Idle);
  }

  std::size_t temporary_files() {
    std::size_t n = 0;
    for (const auto& [name, bytes] : files_under(save_.path())) n += is_temporary(name) ? 1 : 0;
    return n;
  }

  // Final-name files by their path under the save folder.
  std::set<std::string> photo_files() {
    std::set<std::string> names;
    for (const auto& [name, bytes] : files_under(save_.path()))
      if (!is_temporary(name)) names.insert(name);
    return names;
  }

  // Every photo file is whole, every recorded photo has its file, at most `unrecorded`
  // files are not recorded (ended between the rename and the record), and no temporary
  // file is left.
  void expect_files_match_record(const std::string& uid, const afsample::SampleAlbum& album,
                                 const std::string& folder, std::size_t unrecorded = 0) {
    const auto files = files_under(save_.path());
    const auto ids = recorded(uid, album);
    std::size_t files_without_record = 0;
    for (std::size_t i = 0; i < album.photos.size(); ++i) {
      const auto& photo = album.photos[i];
      const std::string name = folder + "/" + expected_name(photo, static_cast<int>(i) + 1);
      const bool has_file = files.count(name) > 0;
      const bool is_recorded = ids.count(photo.photo_id) > 0;
      EXPECT_TRUE(has_file || !is_recorded) << "recorded without its photo: " << name;
      if (has_file && !is_recorded) ++files_without_record;
      if (has_file) {
        EXPECT_EQ(files.at(name), service().image_bytes(photo.pic_name)) << name;
      }
    }
    EXPECT_LE(files_without_record, unrecorded);
    EXPECT_EQ(temporary_files(), 0u);
  }
};

// The same files, log and record whether the photo is saved within the wait or after it.
class FlushedSaveWays : public FlushedSaveTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FlushedSaveWays, FilesLogAndRecordOfAnAlbumWithFailures) {
  const bool during_wait = GetParam();
  auto user = afsample::make_user("9101", "/u/9101", "T");
  auto album = afsample::make_album("910100000001", "A", 6);
  album.photos[1].image_fault_status = 404;  // both tries fail
  album.photos[1].image_fault_times = -1;
  album.photos[3].caption_render = std::string(250, 'x') + "春游";  // kept as 春游
  album.photos[5].feed_id = std::string(300, '7');                  // the feed id shortened too
  user.albums.push_back(album);
  service().add_user(user);
  set_switches(true, false);
  view_.rows = {row_of(1, album)};
  run_flushed("9101", during_wait);

  std::map<std::string, std::string> want;
  for (int i : {0, 2, 4})
    want["T/A6/" + expected_name(album.photos[i], i + 1)] = service().image_bytes(album.photos[i].pic_name);
  want["T/A6/4_春游_" + album.photos[3].feed_id + ".jpg"] = service().image_bytes(album.photos[3].pic_name);
  want["T/A6/6__" + std::string(248, '7') + ".jpg"] = service().image_bytes(album.photos[5].pic_name);
  EXPECT_EQ(files_under(save_.path()), want);
  EXPECT_EQ(view_.log(), G("当前被选择相册编号:1、\r\n\r\n准备下载相册《A》\r\n\r\n") +
                             failure_line({album.photos[1].photo_id, "", "", "", "", "",
                                           album.photos[1].feed_id, "", ""}) +
                             failure_cause_line(G("服务器回答 HTTP 404")) +
                             G("---完成相册《A6》下载\r\n\r\n-------下载结束：已保存5张，失败1张。-------\r\n\r\n"));
  EXPECT_EQ(
      recorded("9101", album),
      (std::set<std::string>{album.photos[0].photo_id, album.photos[2].photo_id, album.photos[3].photo_id,
                             album.photos[4].photo_id, album.photos[5].photo_id}));
  EXPECT_EQ(view_.messages(), std::vector<std::string>{G("警告：下载结束：已保存5张，失败1张。")});
}

INSTANTIATE_TEST_SUITE_P(SavedWithinAndAfterTheWait, FlushedSaveWays, ::testing::Bool());

// A view that looks at the save folder when the download says it is finished.
class FinishWatchingView : public testing::RecordingView {
 public:
  std::function<void()> on_finish;
  void message(Generation g, const std::string& text) override {
    if (on_finish) on_finish();
    RecordingView::message(g, text);
  }
  void log(Generation g, const std::string& text) override {
    if (on_finish && text.find(G("全部下载完毕")) != std::string::npos) on_finish();
    RecordingView::log(g, text);
  }
};

TEST_F(FlushedSaveTest, FinishComesOnlyOnceEveryPhotoIsInPlaceAndRecorded) {
  auto user = afsample::make_user("9102", "/u/9102", "T");
  user.albums.push_back(afsample::make_album("910200000001", "A", 12));
  user.albums.push_back(afsample::make_album("910200000002", "B", 7));
  service().add_user(user);
  set_switches(true, false);
  FinishWatchingView view;
  view.save_folder = save_.path();
  view.rows = {row_of(1, user.albums[0]), row_of(2, user.albums[1])};
  std::vector<std::size_t> seen_files;
  std::vector<std::size_t> seen_records;
  view.on_finish = [&] {
    seen_files.push_back(photo_files().size() + 100 * temporary_files());
    seen_records.push_back(recorded("9102", user.albums[0]).size() + recorded("9102", user.albums[1]).size());
  };
  Downloader downloader(view, flushed());
  ASSERT_TRUE(downloader.start(view.request("9102", G("T"))));
  ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(120)));
  EXPECT_EQ(seen_files, (std::vector<std::size_t>{19, 19}));  // the log line, then the message
  EXPECT_EQ(seen_records, (std::vector<std::size_t>{19, 19}));
}

// Saving within the wait never shortens it: the fetch of the next photo comes at least a
// whole wait after the end of this one's.
TEST_F(FlushedSaveTest, EachPhotoStillKeepsTheWholeWaitAfterItsFetch) {
  auto user = afsample::make_user("9103", "/u/9103", "T");
  user.albums.push_back(afsample::make_album("910300000001", "A", 3));
  service().add_user(user);
  DownloadControl control;
  std::mutex mutex;
  StepGate steps(control, mutex);
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(program_.file("9103.dlr")));
  std::string log;
  SaveOptions save;
  save.pacing.after_photo = std::chrono::milliseconds(150);
  save.sync_files = true;
  save.record_enabled = true;
  PhotoSaver saver(
      save_.path(), record, steps, [&](const std::string& l) { log += l; }, save);
  int position = 0;
  for (const auto& photo : user.albums[0].photos) {
    PhotoEntry entry;
    entry.photo_id = photo.photo_id;
    entry.timestamp = std::to_string(photo.timestamp);
    entry.image_address = base() + "/large/" + photo.pic_name;
    entry.extension = ".jpg";
    entry.feed_id = photo.feed_id;
    entry.caption_render = "c";
    const auto started = Clock::now();
    EXPECT_EQ(saver.save_photo(entry, ++position), SaveOutcome::Saved);
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(150));
    // Counted as saved and as recorded when the call returns; under its name with its group.
    EXPECT_EQ(saver.unwanted(entry), std::optional<SaveOutcome>(SaveOutcome::Skipped));
  }
  EXPECT_EQ(saver.commit_record_group(), 0);
  position = 0;
  for (const auto& photo : user.albums[0].photos) {
    EXPECT_EQ(testing::read_file(save_.file(std::to_string(++position) + "_c_" + photo.feed_id + ".jpg")),
              service().image_bytes(photo.pic_name));
    EXPECT_TRUE(record.is_recorded(photo.photo_id));
  }
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(temporary_files(), 0u);
}

TEST_F(FlushedSaveTest, PauseHoldsTheSaveAndContinueCompletes) {
  auto user = afsample::make_user("9104", "/u/9104", "T");
  user.albums.push_back(afsample::make_album("910400000001", "A", 40));
  service().add_user(user);
  set_switches(true, false);
  view_.rows = {row_of(1, user.albums[0])};
  auto o = flushed();
  o.pacing.after_photo = std::chrono::milliseconds(20);
  Downloader downloader(view_, o);
  ASSERT_TRUE(downloader.start(view_.request("9104", G("T"))));
  ASSERT_TRUE(eventually([&] { return all_image_requests() >= 3; }));
  // The record does not change while paused either: the photos in place since its last
  // group stay held until the download goes on.
  const PausedSpan paused = pause_then_continue(downloader, [&] {
    // The photos counted as saved that wait for their group, and the one whose write was
    // under way.
    EXPECT_LE(temporary_files(), downloader.saved_photos() - photo_files().size() + 1);
    return std::make_pair(photo_files(), recorded("9104", user.albums[0]));
  });
  ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(60)));
  expect_no_request_while_paused(paused);
  EXPECT_EQ(photo_files().size(), 40u);
  EXPECT_EQ(all_image_requests(), 40u);
  expect_files_match_record("9104", user.albums[0], "T/A40");
}

// Ended at many moments (while running and while paused): no temporary file remains, every
// photo file is whole, nothing is recorded without its file, and at most the photo under
// way is in place without its record (a later download fetches it again).
TEST_F(FlushedSaveTest, EndAtAnyMomentLeavesNoTemporaryFileAndNoRecordWithoutItsPhoto) {
  auto user = afsample::make_user("9105", "/u/9105", "T");
  user.albums.push_back(afsample::make_album("910500000001", "A", 30));
  for (auto& photo : user.albums[0].photos) photo.image_size = 200000;
  service().add_user(user);
  set_switches(false, false);
  view_.rows = {row_of(1, user.albums[0])};
  struct Moment {
    std::size_t after_requests;
    int delay_ms;
    bool paused_first;
  };
  for (const Moment m : {Moment{1, 0, false}, Moment{2, 3, false}, Moment{3, 11, false}, Moment{4, 17, true},
                         Moment{5, 0, true}, Moment{6, 23, false}}) {
    SCOPED_TRACE(m.after_requests);
    auto o = flushed();
    o.pacing.after_photo = std::chrono::milliseconds(5);
    Downloader downloader(view_, o);
    ASSERT_TRUE(downloader.start(view_.request("9105", G("T"))));
    ASSERT_TRUE(eventually([&] { return all_image_requests() >= m.after_requests; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(m.delay_ms));
    if (m.paused_first) downloader.pause_download();
    downloader.end_download();
    const std::size_t events = view_.event_count();
    ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(30)));
    EXPECT_EQ(view_.event_count(), events);
    EXPECT_TRUE(view_.messages().empty());
    expect_files_match_record("9105", user.albums[0], "T/A30", 1);

    fs::remove_all(save_.file("T"));
    for (const char* suffix : {"", "-wal", "-shm"})
      fs::remove(program_.file(std::string("9105.dlr") + suffix));
    service().clear_requests();
    view_.clear();
  }
}

// A power cut keeps what was flushed: the bytes of each file flushed, and the names a
// folder held at its flush. Watched at every flush of a download (one photo at a time and
// four at once, in groups of three): a name is never made durable before its bytes, and a
// photo is never recorded before its name was durable.
class PowerCutTrial : public FlushedSaveTest, public ::testing::WithParamInterface<int> {};

TEST_P(PowerCutTrial, NoFinalNameBeforeItsBytesAndNoRecordBeforeItsName) {
  auto user = afsample::make_user("9106", "/u/9106", "T");
  user.albums.push_back(afsample::make_album("910600000001", "A", 20));
  const auto& album = user.albums[0];
  service().add_user(user);
  set_switches(true, false);
  view_.rows = {row_of(1, album)};
  const std::string folder = save_.file("T/A20");
  std::map<std::string, std::string> name_of;  // photo id -> its file's name
  for (std::size_t i = 0; i < album.photos.size(); ++i)
    name_of[album.photos[i].photo_id] = expected_name(album.photos[i], static_cast<int>(i) + 1);

  std::mutex mutex;
  std::set<ino_t> durable_bytes;
  std::set<std::string> durable_names;
  std::vector<std::string> broken;
  std::size_t folder_flushes = 0;
  const auto path_of = [](int fd) {
    char path[PATH_MAX] = {};
    const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
  };
  const auto check_records = [&] {
    for (const std::string& id : recorded("9106", album))
      if (durable_names.count(name_of[id]) == 0) broken.push_back("recorded before its name was durable: " + id);
  };
  set_disk_calls({{},
                  [&](int fd) {
                    std::lock_guard lock(mutex);
                    struct stat info {};
                    ::fstat(fd, &info);
                    const std::string path = path_of(fd);
                    if (path.starts_with(folder + "/") && !is_temporary(path))
                      broken.push_back("bytes flushed under their final name: " + path);
                    const int result = ::fdatasync(fd);
                    durable_bytes.insert(info.st_ino);
                    return result;
                  },
                  [&](int fd) {
                    std::lock_guard lock(mutex);
                    if (path_of(fd) != folder) return ::fsync(fd);
                    check_records();
                    const int result = ::fsync(fd);
                    ++folder_flushes;
                    durable_names.clear();
                    for (const auto& entry : fs::directory_iterator(folder)) {
                      const std::string name = entry.path().filename().string();
                      struct stat info {};
                      if (name.starts_with(".") || ::stat(entry.path().c_str(), &info) != 0) continue;
                      if (durable_bytes.count(info.st_ino) == 0)
                        broken.push_back("a name made durable before its bytes: " + name);
                      durable_names.insert(name);
                    }
                    return result;
                  }});
  auto o = flushed();
  o.record_group_photos = 3;
  Downloader downloader(view_, o);
  DownloadRequest request = view_.request("9106", G("T"));
  request.jobs = GetParam();
  ASSERT_TRUE(downloader.start(std::move(request)));
  const bool idle = downloader.wait_for_worker(std::chrono::seconds(120));
  set_disk_calls({});
  ASSERT_TRUE(idle);
  check_records();
  EXPECT_EQ(broken, std::vector<std::string>{});
  EXPECT_GE(folder_flushes, 7u);  // 20 photos in groups of at most three
  EXPECT_EQ(recorded("9106", album).size(), 20u);
}

INSTANTIATE_TEST_SUITE_P(Jobs, PowerCutTrial, ::testing::Values(1, 4),
                         [](const auto& info) { return std::to_string(info.param) + "AtOnce"; });

}  // namespace
}  // namespace af
