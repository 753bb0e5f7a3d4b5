// Image answers that are no picture, hosts that want the service's Referer or limit the
// rate, and answers that stall or trickle: what the download keeps, records and logs, and
// what a later download with the record on fetches.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "download/image_check.h"
#include "download/photo_saver.h"
#include "download/record_store.h"
#include "download_fixture.h"
#include "util/codepage.h"

namespace af::testing {
namespace {

using afsample::ImageFault;

// Every wait and limit divided by 400: a request ends after 300 ms, an album whose images
// keep failing is given up after 750 ms, waits after a rate limit run 5 ms to 150 ms.
constexpr int kShortened = 400;

PhotoEntry entry_of(const afsample::SamplePhoto& photo) {
  PhotoEntry entry;
  entry.photo_id = photo.photo_id;
  entry.feed_id = photo.feed_id;
  return entry;
}

class ImageAnswerTest : public DownloadTest {
 protected:
  DownloaderOptions short_options() {
    DownloaderOptions o = options();
    o.pacing = Pacing::shortened(kShortened);
    return o;
  }

  void download(const std::string& uid, const DownloaderOptions& o) {
    Downloader downloader(view_, o);
    ASSERT_TRUE(downloader.start_download(uid, G("T")));
    ASSERT_TRUE(downloader.wait_for_worker(std::chrono::seconds(120)));
    EXPECT_EQ(downloader.state(), ButtonState::Idle);
  }

  // The photos of `album` whose files are in place; each file must be the served picture,
  // whole, under its name, and nothing else may be in the folder.
  std::set<int> saved_photos(const afsample::SampleAlbum& album, const std::string& folder) {
    std::set<int> saved;
    for (const auto& [name, bytes] : files_under(save_.file(folder))) {
      bool known = false;
      for (std::size_t i = 0; i < album.photos.size(); ++i) {
        if (name != expected_name(album.photos[i], static_cast<int>(i) + 1)) continue;
        known = true;
        EXPECT_TRUE(is_complete_image(bytes)) << name;
        EXPECT_EQ(bytes, service().image_bytes(album.photos[i].pic_name)) << name;
        saved.insert(static_cast<int>(i));
      }
      EXPECT_TRUE(known) << "unexpected file " << name;
    }
    return saved;
  }

  std::set<int> recorded_photos(const std::string& uid, const afsample::SampleAlbum& album) {
    DownloadRecord record;
    EXPECT_TRUE(record.open_record_store(record_store_path(uid)));
    std::set<int> recorded;
    for (std::size_t i = 0; i < album.photos.size(); ++i)
      if (record.is_recorded(album.photos[i].photo_id)) recorded.insert(static_cast<int>(i));
    return recorded;
  }

  // The mended service, and a download with the record on: exactly the missing photos are
  // asked for, once each, and then every photo is in place.
  void rerun_fetches_exactly_the_missing(afsample::SampleUser user, const std::set<int>& saved) {
    auto& album = user.albums[0];
    for (auto& p : album.photos) p.image_fault_times = 0;
    service().reset();
    service().add_user(user);
    view_.clear();
    set_switches(true, false);
    download(user.uid, short_options());
    for (std::size_t i = 0; i < album.photos.size(); ++i)
      EXPECT_EQ(image_requests(album.photos[i]), saved.count(static_cast<int>(i)) ? 0u : 1u) << "photo " << i;
    EXPECT_EQ(saved_photos(album, "T/A" + std::to_string(album.photos.size())).size(), album.photos.size());
  }
};

// ---- the fault table: one photo's image answer, on its first request or on every one ----

struct FaultCase {
  const char* name;
  ImageFault fault;
  int status;
  const char* cause;  // UTF-8; the cause line starts with it
};

const FaultCase kFaults[] = {
    {"Empty", ImageFault::Empty, 0, "服务器回答为空"},
    {"NotJson", ImageFault::Text, 0, "回答不是图片"},
    {"Json", ImageFault::Json, 0, "回答是JSON文本而不是图片"},
    {"LoginPage", ImageFault::LoginPage, 0, "回答是登录页面而不是图片：登录可能已过期，请先在登录页登录"},
    {"RedirectToLogin", ImageFault::LoginRedirect, 0, "回答是登录页面而不是图片"},
    {"NotFound", ImageFault::Status, 404, "服务器回答 HTTP 404"},
    {"Teapot", ImageFault::Status, 418, "服务器回答 HTTP 418：请求过于频繁"},
    {"TooMany", ImageFault::Status, 429, "服务器回答 HTTP 429：请求过于频繁"},
    {"ServerError", ImageFault::Status, 500, "服务器回答 HTTP 500"},
    {"CutOffMidBody", ImageFault::CutOff, 0, "连接中断，回答不完整"},
    {"CutShortWithItsLength", ImageFault::CutShort, 0, "图片不完整（JPEG数据中途截断）"},
    {"Stall", ImageFault::Stall, 0, "请求超时"},
    {"Trickle", ImageFault::Trickle, 0, "请求超时"},
};

class ImageFaultTable : public ImageAnswerTest,
                        public ::testing::WithParamInterface<std::tuple<FaultCase, bool>> {};

TEST_P(ImageFaultTable, KeepsOnlyWholePicturesLogsTheCauseAndARerunCompletes) {
  const auto& [c, every] = GetParam();
  std::size_t index = 0;
  while (std::string(kFaults[index].name) != c.name) ++index;
  const std::string uid = "77" + std::to_string(index) + (every ? "1" : "0");
  auto user = afsample::make_user(uid, "/u/" + uid, "T");
  auto album = afsample::make_album(uid + "000001", "A", 3);
  auto& faulty = album.photos[1];
  faulty.image_fault = c.fault;
  faulty.image_fault_status = c.status;
  faulty.image_fault_times = every ? -1 : 1;
  // A stall outlasts the 300 ms deadline; a trickle would take seconds for the picture.
  faulty.image_fault_delay = std::chrono::milliseconds(c.fault == ImageFault::Stall ? 1500 : 10);
  user.albums.push_back(album);
  service().add_user(user);
  set_switches(true, false);
  view_.rows = {row_of(1, album)};
  download(uid, short_options());

  const std::set<int> saved = saved_photos(album, "T/A3");
  EXPECT_EQ(recorded_photos(uid, album), saved);
  EXPECT_TRUE(saved.count(0));
  EXPECT_TRUE(saved.count(2));
  if (every) {
    EXPECT_FALSE(saved.count(1));
    const std::string line = failure_line(entry_of(faulty));
    const std::size_t at = view_.log().find(line + G("原因：") + G(c.cause));
    EXPECT_NE(at, std::string::npos) << gbk_to_utf8(view_.log());
  } else {
    // The second request brings the picture.
    EXPECT_TRUE(saved.count(1));
    EXPECT_EQ(view_.log().find(G("失败")), std::string::npos) << gbk_to_utf8(view_.log());
  }
  rerun_fetches_exactly_the_missing(user, saved);
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<FaultCase, bool>>& info) {
  return std::string(std::get<0>(info.param).name) +
         (std::get<1>(info.param) ? "EveryRequest" : "FirstRequest");
}

INSTANTIATE_TEST_SUITE_P(Images, ImageFaultTable,
                         ::testing::Combine(::testing::ValuesIn(kFaults), ::testing::Bool()), case_name);

}  // namespace
}  // namespace af::testing
