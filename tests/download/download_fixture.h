// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The engine tests' fixture: the sample service, a program directory and a save folder of
// their own, a recording view, and helpers to run a download and look at what it left.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "download/archive.h"
#include "download/downloader.h"
#include "download/gallery.h"
#include "download/naming.h"
#include "download/record_store.h"
#include "recording_view.h"
#include "support/bounded_wait.h"
#include "support/sample_service_env.h"
#include "temp_folder.h"
#include "util/codepage.h"

namespace af::testing {

// The photo's image answered after `delay` (cut short when the service stops), `times`
// times (-1: always).
inline afsample::Fault slow_image(const afsample::SamplePhoto& photo, std::chrono::milliseconds delay,
                                  int times = -1) {
  afsample::Fault fault;
  fault.kind = afsample::FaultKind::Slow;
  fault.path = "/large/" + photo.pic_name;
  fault.delay = delay;
  fault.times = times;
  return fault;
}

class DownloadTest : public aftest::SampleServiceTest {
 protected:
  void SetUp() override {
    aftest::SampleServiceTest::SetUp();
    program_.use_as_program_directory();
    view_.save_folder = save_.path();  // an ASCII path: the same bytes in GBK
    set_switches(false, false);
    write_setting(settings_section(), gallery_key(), "0");  // the page has its own tests
  }

  DownloaderOptions options() {
    DownloaderOptions o;
    o.endpoints = endpoints();
    o.pacing = Pacing::shortened(50);
    o.sync_files = false;
    return o;
  }

  static void set_switches(bool record, bool range) {
    write_setting(settings_section(), record_key(), record ? "1" : "0");
    write_setting(settings_section(), range_key(), range ? "1" : "0");
  }

  // The row the album table shows for an album of the service.
  static TickedAlbum row_of(int serial, const afsample::SampleAlbum& album,
                            const std::string& type = "18") {
    return {serial, utf8_to_gb18030(album.caption), album.stated_count(),
            AlbumRef{album.album_id, type}};
  }

  // Starts a download and waits for its worker.
  void run(const std::string& uid, const std::string& title_utf8) {
    Downloader downloader(view_, options());
    ASSERT_TRUE(downloader.start(view_.request(uid, G(title_utf8))));
    ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(120)));
    EXPECT_EQ(downloader.state(), DownloadState::Idle);
  }

  // Every file under `root`, by path relative to it, with its bytes; album indexes and the
  // gallery page are left out (their own tests look at them).
  static std::map<std::string, std::string> files_under(const std::string& root) {
    std::map<std::string, std::string> files;
    namespace fs = std::filesystem;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error))
      if (it->is_regular_file() && it->path().filename() != kAlbumIndexName &&
          it->path().filename() != kGalleryPageName)
        files[fs::relative(it->path(), root).string()] = read_file(it->path().string());
    return files;
  }

  // The file name a photo gets at `position`.
  static std::string expected_name(const afsample::SamplePhoto& photo, int position) {
    const bool gif = photo.pic_name.find(".gif") != std::string::npos;
    return gbk_to_utf8(photo_file_name(position, file_caption(utf8_to_gb18030(photo.caption_render)),
                                       file_caption(photo.feed_id), gif ? ".gif" : ".jpg"));
  }

  // The photos of `album` that are recorded for `uid`.
  static std::set<std::string> recorded(const std::string& uid, const afsample::SampleAlbum& album) {
    std::set<std::string> ids;
    DownloadRecord record;
    if (!record.open_record_store(record_store_path(uid))) return ids;
    for (const auto& photo : album.photos)
      if (record.is_recorded(photo.photo_id)) ids.insert(photo.photo_id);
    return ids;
  }

  std::size_t image_requests(const afsample::SamplePhoto& photo) {
    return service().requests_to("/large/" + photo.pic_name).size();
  }
  std::size_t all_image_requests() {
    std::size_t n = 0;
    for (const auto& r : service().requests())
      if (r.path.rfind("/large/", 0) == 0) ++n;
    return n;
  }

  // A pause held for a short span, then continued. Neither what the view shows nor
  // `on_disk` may change within it; the requests the service took up are read afterwards
  // by their times: expect_no_request_while_paused().
  struct PausedSpan {
    std::chrono::steady_clock::time_point from, to;
  };
  template <class OnDisk>
  PausedSpan pause_then_continue(Downloader& downloader, OnDisk on_disk) {
    downloader.pause_download();
    PausedSpan span{std::chrono::steady_clock::now(), {}};
    const std::size_t events = view_.event_count();
    const auto at_pause = on_disk();
    // Five photos' time at the tests' pacing, and every answer under way delivered to the
    // paused lanes: a pause that held nothing would show.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(eventually([&] { return service().in_flight() == 0; })) << "the answers under way";
    EXPECT_EQ(downloader.state(), DownloadState::Paused);
    EXPECT_EQ(view_.event_count(), events) << "shown while paused";
    EXPECT_TRUE(on_disk() == at_pause) << "written while paused";
    span.to = std::chrono::steady_clock::now();
    downloader.continue_download();
    return span;
  }
  // By default: the photos in place and the names of the program directory's files (a
  // write under way at the pause ends in its temporary file meanwhile).
  PausedSpan pause_then_continue(Downloader& downloader) {
    return pause_then_continue(downloader, [&] {
      auto in_place = files_under(save_.path());
      std::erase_if(in_place, [](const auto& file) { return file.first.find(".albumfetcher-") != std::string::npos; });
      std::set<std::string> program_files;
      for (const auto& [name, bytes] : files_under(program_.path())) program_files.insert(name);
      return std::make_pair(in_place, program_files);
    });
  }
  void expect_no_request_while_paused(const PausedSpan& span) {
    for (const auto& r : service().requests())
      EXPECT_FALSE(r.at > span.from && r.at < span.to) << "asked while paused: " << r.target;
  }

  template <class Condition>
  static bool eventually(Condition condition) {
    return aftest::eventually(condition);
  }

  TempFolder program_;
  TempFolder save_;
  RecordingView view_;
};

}  // namespace af::testing
