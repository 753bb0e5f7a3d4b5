// SPDX-License-Identifier: GPL-3.0-or-later
// Downloads that fetch several photos at once: what they show and leave equals what one
// photo at a time shows and leaves; pause, end and failures with several in flight.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>

#include "download/parallel_photos.h"
#include "download_fixture.h"

namespace af::testing {
namespace {

// What a download showed and left behind.
struct Result {
  std::vector<ViewEvent> events;
  std::map<std::string, std::string> files;
  std::vector<std::string> index_lines;  // every album index, without the time of saving
  std::set<std::string> recorded;
  std::size_t image_requests = 0;
};

// Every image of the album from photo `first` (from 0) on stalls for `delay`, every time.
void stall_from(afsample::SampleAlbum& album, std::size_t first, std::chrono::milliseconds delay) {
  for (std::size_t i = first; i < album.photos.size(); ++i) {
    album.photos[i].image_fault = afsample::ImageFault::Stall;
    album.photos[i].image_fault_times = -1;
    album.photos[i].image_fault_delay = delay;
  }
}

class ParallelDownloadTest : public DownloadTest {
 protected:
  // Runs the download of `rows` of `user` with `jobs` at once, in a program directory and
  // save folder of its own; `prepare` sets up the service's faults and rules each time.
  Result run_with(int jobs, const afsample::SampleUser& user, const std::function<void()>& prepare,
                  bool record = false, bool range = false, int pace_factor = 0) {
    TempFolder program;
    TempFolder save;
    program.use_as_program_directory();
    set_switches(record, range);
    service().reset();
    service().add_user(user);
    prepare();
    RecordingView view;
    view.rows = view_.rows;
    view.save_folder = save.path();
    view.start = view_.start;
    view.end = view_.end;
    {
      auto o = options();
      if (pace_factor > 0) o.pacing = Pacing::shortened(pace_factor);
      Downloader downloader(view, o);
      EXPECT_TRUE(downloader.start(view.request(user.uid, G(user.title), {.jobs = jobs})));
      EXPECT_TRUE(downloader.wait_for_worker(std::chrono::seconds(60)));
    }
    Result result;
    result.events = view.events();
    // The runs save to folders of their own; the texts that name it are otherwise the same.
    for (auto& event : result.events)
      for (std::size_t at; (at = event.text.find(save.path())) != std::string::npos;)
        event.text.replace(at, save.path().size(), "<save>");
    result.files = files_under(save.path());
    namespace fs = std::filesystem;
    for (const auto& entry : fs::recursive_directory_iterator(save.path())) {
      if (entry.path().filename() != kAlbumIndexName) continue;
      std::ifstream in(entry.path());
      for (std::string line; std::getline(in, line);) {
        // The time of saving differs between runs; everything before it must not.
        const auto saved = line.find("\"saved");
        result.index_lines.push_back(line.substr(0, saved));
      }
    }
    for (const auto& album : user.albums) {
      const auto ids = recorded(user.uid, album);
      result.recorded.insert(ids.begin(), ids.end());
    }
    result.image_requests = all_image_requests();
    program_.use_as_program_directory();
    return result;
  }

  static void expect_same(const Result& alone, const Result& together) {
    ASSERT_EQ(alone.events.size(), together.events.size());
    for (std::size_t i = 0; i < alone.events.size(); ++i) {
      const ViewEvent& a = alone.events[i];
      const ViewEvent& b = together.events[i];
      EXPECT_TRUE(a.kind == b.kind && a.generation == b.generation && a.label == b.label &&
                  a.text == b.text && a.value == b.value && a.state == b.state)
          << "view update " << i << ": " << gbk_to_utf8(a.text) << " / " << gbk_to_utf8(b.text);
    }
    EXPECT_TRUE(alone.files == together.files);
    EXPECT_EQ(alone.index_lines, together.index_lines);
    EXPECT_EQ(alone.recorded, together.recorded);
  }

  static std::string log_of(const Result& result) {
    std::string text;
    for (const auto& e : result.events)
      if (e.kind == ViewEvent::Log) text += e.text;
    return text;
  }
};

struct Scenario {
  const char* name;
  bool record;
  bool range;
  // Sets faults and rules on the service for the user's albums.
  std::function<void(afsample::SampleService&, const afsample::SampleUser&)> prepare;
};

TEST_F(ParallelDownloadTest, FourAtOnceShowsAndLeavesWhatOneAtATimeDoes) {
  auto user = afsample::make_user("7101", "/u/7101", "并行");
  user.albums.push_back(afsample::make_album("710100000001", "旅行", 37, 3));
  user.albums.push_back(afsample::make_album("710100000002", "Album B", 12));
  auto& first = user.albums[0].photos;
  // A photo that never comes, one refused once without the service's Referer, and the same
  // photo twice in the album (the record skips the second when on).
  first[4].image_fault_status = 404;
  first[4].image_fault_times = -1;
  first[9].image_fault_status = 403;
  first[9].image_fault_times = 1;
  first[20] = first[7];
  // Photos of the range and outside it.
  for (std::size_t i = 0; i < first.size(); ++i)
    first[i].timestamp = 1365000000 + (i % 5 == 2 ? -900000000 : 0);
  view_.rows = {row_of(1, user.albums[0]), row_of(2, user.albums[1])};

  const std::vector<Scenario> scenarios = {
      {"plain", false, false, [](auto&, auto&) {}},
      {"record and range", true, true, [](auto&, auto&) {}},
      {"slow images finish out of order", false, false,
       [](afsample::SampleService& s, const afsample::SampleUser& u) {
         s.add_fault(slow_image(u.albums[0].photos[1], std::chrono::milliseconds(400)));
         s.add_fault(slow_image(u.albums[0].photos[2], std::chrono::milliseconds(250)));
         s.add_fault(slow_image(u.albums[1].photos[0], std::chrono::milliseconds(300)));
       }},
      {"rate limit waits", false, false,
       [](afsample::SampleService& s, const afsample::SampleUser&) {
         afsample::ImageRules rules;
         rules.burst = 10;
         rules.refusals = 2;
         rules.retry_after_seconds = 0;
         s.set_image_rules(rules);
       }},
  };
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    const auto prepare = [&] { scenario.prepare(service(), user); };
    const Result alone = run_with(1, user, prepare, scenario.record, scenario.range);
    const Result together = run_with(4, user, prepare, scenario.record, scenario.range);
    expect_same(alone, together);
    // The failing photo is logged with its cause, and the rest is there.
    EXPECT_NE(log_of(together).find(G("失败") + first[4].photo_id), std::string::npos);
    EXPECT_NE(log_of(together).find(G("原因：")), std::string::npos);
    EXPECT_FALSE(together.recorded.count(first[4].photo_id));
    EXPECT_NE(log_of(together).find(G("---完成相册《AlbumB12》下载")), std::string::npos);
    EXPECT_GT(together.files.size(), 20u);
  }
}

// A disk that fills up stops the download after the same photo, whatever was fetched ahead.
TEST_F(ParallelDownloadTest, AFullDiskStopsAtTheSamePhotoAsOneAtATime) {
  auto user = afsample::make_user("7106", "/u/7106", "T");
  user.albums.push_back(afsample::make_album("710600000001", "A", 20));
  user.albums.push_back(afsample::make_album("710600000002", "B", 5));
  view_.rows = {row_of(1, user.albums[0]), row_of(2, user.albums[1])};
  int writes = 0;
  const auto prepare = [&] {
    writes = 0;
    set_disk_calls({[&](int fd, const char* data, std::size_t size) -> long {
                      if (++writes >= 9) {
                        errno = ENOSPC;
                        return -1;
                      }
                      return ::write(fd, data, size);
                    },
                    {},
                    {}});
  };
  const Result alone = run_with(1, user, prepare);
  const Result together = run_with(6, user, prepare);
  set_disk_calls({});
  expect_same(alone, together);
  EXPECT_LT(together.files.size(), 9u);
  EXPECT_NE(log_of(together).find(G("磁盘空间不足")), std::string::npos);
  for (const auto& [name, bytes] : together.files) EXPECT_EQ(name.find(".part"), std::string::npos) << name;
}

// Images that keep failing give the album up once, the lanes' failing time on one clock;
// nothing after the photo that gave up is written, and the next album goes on.
TEST_F(ParallelDownloadTest, AnAlbumWhoseImagesKeepFailingIsGivenUpOnce) {
  auto user = afsample::make_user("7107", "/u/7107", "T");
  user.albums.push_back(afsample::make_album("710700000001", "A", 16));
  user.albums.push_back(afsample::make_album("710700000002", "B", 3));
  for (std::size_t i = 3; i < 16; ++i) {
    user.albums[0].photos[i].image_fault_status = 500;
    user.albums[0].photos[i].image_fault_times = -1;
  }
  service().add_user(user);
  view_.rows = {row_of(1, user.albums[0]), row_of(2, user.albums[1])};
  auto o = options();
  o.pacing.album_give_up = std::chrono::milliseconds(300);
  Downloader downloader(view_, o);
  ASSERT_TRUE(downloader.start(view_.request("7107", G("T"), {.jobs = 4})));
  ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(60)));

  const std::string log = view_.log();
  const std::string given_up = album_given_up_line(G("A"));
  ASSERT_NE(log.find(given_up), std::string::npos);
  EXPECT_EQ(log.find(given_up), log.rfind(given_up));
  // The failed photos are told in album order, and nothing of the album after the last.
  std::size_t at = 0;
  std::size_t told = 0;
  for (std::size_t i = 3; i < 16; ++i) {
    const std::size_t line = log.find(G("失败") + user.albums[0].photos[i].photo_id + G("微博id"));
    if (line == std::string::npos) continue;
    EXPECT_GE(line, at) << i;
    EXPECT_EQ(told, i - 3) << "a photo's failure is told without the ones before it";
    at = line;
    ++told;
  }
  EXPECT_GE(told, 1u);
  EXPECT_EQ(recorded("7107", user.albums[0]).size(), 3u);
  EXPECT_EQ(files_under(save_.file("T/A16")).size(), 3u);
  EXPECT_EQ(files_under(save_.file("T/B3")).size(), 3u);
  EXPECT_NE(log.find(G("---完成相册《B3》下载")), std::string::npos);
}

// Every image of an album stalls from its tenth photo on. Requests end after 600 ms and
// the album is given up after 1.5 s of failing, on one clock for all lanes: a lane asks for
// a stalled photo twice (600 ms each), then for the next one, whose tries end with the time
// that is left; never a third photo. Lanes that reach the stalls late (a busy machine) ask
// less, but the lanes together ask at least twice each: with each lane's failing time added
// to the album's, they asked once each.
TEST_F(ParallelDownloadTest, AStalledAlbumIsGivenUpAfterTheSameTimeAtAnyNumberAtOnce) {
  auto user = afsample::make_user("7108", "/u/7108", "T");
  user.albums.push_back(afsample::make_album("710800000001", "A", 40));
  const auto& photos = user.albums[0].photos;
  stall_from(user.albums[0], 9, std::chrono::milliseconds(700));
  view_.rows = {row_of(1, user.albums[0])};
  const auto no_faults = [] {};
  for (const std::size_t jobs : {1u, 4u, 8u}) {
    SCOPED_TRACE(jobs);
    const Result result = run_with(static_cast<int>(jobs), user, no_faults, false, false, 200);
    std::size_t requests = 0;
    std::size_t asked = 0;
    for (std::size_t i = 9; i < photos.size(); ++i) {
      requests += image_requests(photos[i]);
      asked += image_requests(photos[i]) > 0 ? 1 : 0;
    }
    std::string counts;
    for (std::size_t i = 9; i < photos.size(); ++i) counts += std::to_string(image_requests(photos[i])) + " ";
    EXPECT_LE(asked, 2 * jobs) << counts;
    EXPECT_GE(requests, 2 * jobs) << counts;
    EXPECT_LE(requests, 4 * jobs) << counts;
    EXPECT_EQ(result.files.size(), 9u);
    EXPECT_NE(log_of(result).find(album_given_up_line(G("A"))), std::string::npos);
  }
}

TEST_F(ParallelDownloadTest, ProgressOnlyMovesForwardAtEightAtOnce) {
  auto user = afsample::make_user("7102", "/u/7102", "T");
  user.albums.push_back(afsample::make_album("710200000001", "A", 60));
  view_.rows = {row_of(1, user.albums[0])};
  const Result result = run_with(8, user, [&] {
    for (int i = 0; i < 60; i += 7)
      service().add_fault(slow_image(user.albums[0].photos[i], std::chrono::milliseconds(60 + i)));
  });
  int position = -1;
  std::vector<int> positions;
  for (const auto& e : result.events)
    if (e.kind == ViewEvent::Position) positions.push_back(e.value);
  for (int p : positions) {
    EXPECT_GE(p, position);
    position = p;
  }
  ASSERT_EQ(positions.size(), 61u);  // the album's start, then each photo
  EXPECT_EQ(positions.back(), 60);
  EXPECT_EQ(result.files.size(), 60u);
  EXPECT_EQ(result.image_requests, 60u);
}

// A slow photo holds the ones after it: they are fetched meanwhile but shown, written and
// recorded only after it.
TEST_F(ParallelDownloadTest, EndWithSeveralInFlightLeavesOnlyWhatCameInOrder) {
  auto user = afsample::make_user("7103", "/u/7103", "T");
  user.albums.push_back(afsample::make_album("710300000001", "A", 12));
  service().add_user(user);
  set_switches(true, false);
  const auto& photos = user.albums[0].photos;
  service().add_fault(slow_image(photos[2], std::chrono::milliseconds(5000)));
  service().add_fault(slow_image(photos[4], std::chrono::milliseconds(5000)));
  view_.rows = {row_of(1, user.albums[0])};
  auto o = options();
  Downloader downloader(view_, o);
  ASSERT_TRUE(downloader.start(view_.request("7103", G("T"), {.jobs = 4})));
  // Photos beyond the slow one were asked for while it was still coming: several at once.
  // The two before it are counted as saved; they take their names with their group.
  ASSERT_TRUE(eventually([&] { return image_requests(photos[5]) == 1 && downloader.saved_photos() == 2; }));
  EXPECT_EQ(image_requests(photos[2]), 1u);

  downloader.end_download();
  const std::size_t events = view_.event_count();
  ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(10)));
  EXPECT_EQ(view_.event_count(), events);

  // Only the photos before the slow one: nothing half-written, nothing out of turn.
  std::vector<std::string> names;
  for (const auto& [name, bytes] : files_under(save_.path())) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"T/A12/" + expected_name(photos[0], 1),
                                             "T/A12/" + expected_name(photos[1], 2)}));
  EXPECT_EQ(recorded("7103", user.albums[0]),
            (std::set<std::string>{photos[0].photo_id, photos[1].photo_id}));
  EXPECT_EQ(view_.log().find(G("失败")), std::string::npos);
  EXPECT_EQ(view_.last(ViewEvent::Position), 2);

  // A new download fetches exactly what is missing.
  service().clear_faults();
  service().clear_requests();
  view_.clear();
  auto again = options();
  Downloader second(view_, again);
  ASSERT_TRUE(second.start(view_.request("7103", G("T"), {.jobs = 4})));
  ASSERT_TRUE(second.wait_for_worker(std::chrono::seconds(30)));
  EXPECT_EQ(files_under(save_.path()).size(), 12u);
  EXPECT_EQ(all_image_requests(), 10u);
  EXPECT_EQ(image_requests(photos[0]), 0u);
}

// An end at eight at once is answered as at one: the transfers under way are aborted, not
// waited for. In this order: the end asked, the worker idle while the service still holds
// every answer it was asked for since, and only the photos that came before, whole under
// their names and recorded; no temporary file.
TEST_F(ParallelDownloadTest, EndAtEightAtOnceAbortsTheLanesInsteadOfWaitingForThem) {
  auto user = afsample::make_user("7109", "/u/7109", "T");
  user.albums.push_back(afsample::make_album("710900000001", "A", 30));
  const auto& photos = user.albums[0].photos;
  stall_from(user.albums[0], 4, std::chrono::milliseconds(6000));
  service().add_user(user);
  set_switches(true, false);
  view_.rows = {row_of(1, user.albums[0])};
  Downloader downloader(view_, options());
  ASSERT_TRUE(downloader.start(view_.request("7109", G("T"), {.jobs = 8})));
  ASSERT_TRUE(eventually([&] { return service().in_flight() == 8 && downloader.saved_photos() == 4; }))
      << "eight answers held, the four before them saved";

  downloader.end_download();
  ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(30))) << "the worker's return after the end";
  EXPECT_EQ(service().in_flight(), 8) << "an answer came before the worker was idle: it waited for the lanes";

  std::map<std::string, std::string> want;
  for (int i = 0; i < 4; ++i)
    want["T/A30/" + expected_name(photos[i], i + 1)] = service().image_bytes(photos[i].pic_name);
  EXPECT_EQ(files_under(save_.path()), want) << "partial or temporary files left";
  EXPECT_EQ(recorded("7109", user.albums[0]).size(), 4u);
}

TEST_F(ParallelDownloadTest, PauseWithSeveralInFlightHoldsRequestsAndWhatIsShown) {
  auto user = afsample::make_user("7104", "/u/7104", "T");
  user.albums.push_back(afsample::make_album("710400000001", "A", 30));
  service().add_user(user);
  const auto& photos = user.albums[0].photos;
  for (int i = 3; i < 8; ++i) service().add_fault(slow_image(photos[i], std::chrono::milliseconds(600)));
  view_.rows = {row_of(1, user.albums[0])};
  auto o = options();
  Downloader downloader(view_, o);
  ASSERT_TRUE(downloader.start(view_.request("7104", G("T"), {.jobs = 4})));
  // Every lane is inside a slow answer, as the service has taken up all four requests:
  // none is about to ask for the next photo.
  ASSERT_TRUE(eventually([&] {
    return image_requests(photos[3]) + image_requests(photos[4]) + image_requests(photos[5]) +
               image_requests(photos[6]) == 4;
  })) << "four lanes in slow answers";
  // The slow answers arrive while paused: none of them is shown, written or followed.
  const PausedSpan paused = pause_then_continue(downloader);
  ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(30)));
  expect_no_request_while_paused(paused);
  EXPECT_EQ(files_under(save_.path()).size(), 30u);
  EXPECT_EQ(all_image_requests(), 30u);
  EXPECT_EQ(view_.messages(), std::vector<std::string>{G("全部下载完毕")});
}

TEST_F(ParallelDownloadTest, JobsComeWithTheRequest) {
  auto user = afsample::make_user("7105", "/u/7105", "T");
  user.albums.push_back(afsample::make_album("710500000001", "A", 10));
  service().add_user(user);
  const auto& photos = user.albums[0].photos;
  service().add_fault(slow_image(photos[0], std::chrono::milliseconds(5000)));
  view_.rows = {row_of(1, user.albums[0])};
  // 3 at once: the first slow photo holds, the next two are asked for.
  Downloader downloader(view_, options());
  ASSERT_TRUE(downloader.start(view_.request("7105", G("T"), {.jobs = 3})));
  ASSERT_TRUE(eventually([&] { return image_requests(photos[2]) == 1; }));
  downloader.end_download();
  ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(10)));
  EXPECT_TRUE(files_under(save_.path()).empty());
}

}  // namespace
}  // namespace af::testing
