// SPDX-License-Identifier: GPL-3.0-or-later
// Closing the window, and replacing its downloader, while an ended download's worker is
// held up by the disk: neither waits for the worker without bound, and the worker still
// finishes on its own afterwards.
//
// The disk is made slow for this program alone: its flush calls on a photo's temporary
// file wait while the test holds the disk, then flush for real.
#include <dlfcn.h>
#include <unistd.h>

#include <QDirIterator>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "core/paths.h"
#include "download/archive.h"
#include "download/downloader.h"
#include "download/gallery.h"
#include "download/record_store.h"
#include "http/cookie_store.h"
#include "sample_service.h"
#include "ui/album_table.h"
#include "window_support.h"

using af::MainWindow;
using af::test::buttons_shown;
using af::test::control;
using af::test::label_text;

namespace {

constexpr int kWait = 60000;
// Closing waits for a worker at most 2 s; this is that bound with room to spare.
constexpr qint64 kPromptMs = 7000;
// A disk held longer than this is let go by itself, so that a close which does wait for
// the worker ends the test with a failure instead of hanging it.
constexpr auto kHoldLimit = std::chrono::seconds(30);

class SlowDisk {
 public:
  static SlowDisk& instance() {
    static SlowDisk disk;
    return disk;
  }
  void hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      held_ = false;
    }
    changed_.notify_all();
  }
  // Flushes waiting for the disk now.
  int waiting() {
    std::lock_guard lock(mutex_);
    return waiting_;
  }
  // Called by the flush of `fd`: waits while the disk is held (at most kHoldLimit).
  void pass(int fd) {
    if (!is_photo_file(fd)) return;
    std::unique_lock lock(mutex_);
    ++waiting_;
    changed_.wait_for(lock, kHoldLimit, [this] { return !held_; });
    --waiting_;
  }

 private:
  static bool is_photo_file(int fd) {
    char path[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), path, sizeof path - 1);
    if (n <= 0) return false;
    const std::string name(path, static_cast<std::size_t>(n));
    return name.find("/.albumfetcher-") != std::string::npos;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  int waiting_ = 0;
};

template <typename F>
F real_function(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

// Releases the disk when it goes out of scope, so no failed check leaves a worker held.
struct DiskHold {
  DiskHold() { SlowDisk::instance().hold(); }
  ~DiskHold() { SlowDisk::instance().release(); }
};

// Every file under `folder`, recursively, by its name; album indexes and gallery pages left out.
QStringList files_under(const QString& folder) {
  QStringList names;
  QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString name = QFileInfo(it.next()).fileName();
    if (name != QLatin1String(af::kAlbumIndexName.data(), af::kAlbumIndexName.size()) &&
        name != QString::fromUtf8(af::kGalleryPageName))
      names << name;
  }
  return names;
}

}  // namespace

extern "C" int fdatasync(int fd) {
  SlowDisk::instance().pass(fd);
  static const auto real = real_function<int (*)(int)>("fdatasync");
  return real(fd);
}

extern "C" int fsync(int fd) {
  SlowDisk::instance().pass(fd);
  static const auto real = real_function<int (*)(int)>("fsync");
  return real(fd);
}

class WindowCloseTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir home_;
  std::unique_ptr<afsample::SampleService> service_;
  std::vector<afsample::SamplePhoto> photos_;  // of the sample user's one album

  // A window with the album list of a sample user shown and `save` as its save folder.
  std::unique_ptr<MainWindow> window_with_albums(const QTemporaryDir& save) {
    auto window = af::test::window_on_service(service_->base_url(), af::Pacing::shortened(0));
    af::test::install_preset_dialogs(*window);
    window->show();
    af::test::set_save_folder(*window, save.path());
    af::test::list_albums_at(*window, service_->base_url() + "/u/7100000001", 1, kWait);
    if (QTest::currentTestFailed()) qFatal("the album list did not come");
    return window;
  }

  // Starts the download and returns once its worker is flushing the first photo.
  static bool download_until_the_disk_holds_it(MainWindow& window) {
    control<QPushButton>(window, QStringLiteral("按钮_下载选中"))->click();
    return QTest::qWaitFor([] { return SlowDisk::instance().waiting() == 1; }, kWait);
  }

 private slots:
  void initTestCase() {
    service_ = af::test::start_test_program(home_);
    QVERIFY(service_);
    afsample::SampleUser user = afsample::make_user("7100000001", "/u/7100000001", "Closing");
    user.albums.push_back(afsample::make_album("3558936320000021", "held", 5));
    service_->add_user(user);
    photos_ = user.albums[0].photos;
  }

  void close_does_not_wait_for_a_worker_the_disk_holds() {
    std::filesystem::remove(af::record_store_path("7100000001"));  // this download's record only
    QTemporaryDir save;
    auto window = window_with_albums(save);
    DiskHold hold;
    QVERIFY(download_until_the_disk_holds_it(*window));
    QCOMPARE(MainWindow::downloads_still_finishing(), 0);

    QElapsedTimer closing;
    closing.start();
    window.reset();
    QVERIFY2(closing.elapsed() < kPromptMs,
             qPrintable(QStringLiteral("closing took %1 ms").arg(closing.elapsed())));
    QCOMPARE(MainWindow::downloads_still_finishing(), 1);
    QCOMPARE(SlowDisk::instance().waiting(), 1);

    // The disk held the first photo's flush; the photos counted as saved before the close
    // (that one, and those fetched meanwhile) are the album's group. The disk lets go: the
    // worker finishes the flushes, puts them in place and records them with no step, as an
    // end's last group, and returns; no temporary file is left, and the files are exactly
    // the photos recorded.
    SlowDisk::instance().release();
    QTRY_COMPARE_WITH_TIMEOUT(MainWindow::downloads_still_finishing(), 0, kWait);
    QStringList names = files_under(save.path());
    for (const QString& name : names) QVERIFY2(!name.startsWith(QLatin1Char('.')), qPrintable(name));
    af::DownloadRecord record;
    QVERIFY(record.open_record_store(af::record_store_path("7100000001")));
    qsizetype recorded = 0;
    for (const auto& photo : photos_) recorded += record.is_recorded(photo.photo_id) ? 1 : 0;
    QVERIFY(recorded >= 1);
    QCOMPARE(names.size(), recorded);
  }

  void close_with_a_download_under_way_ends_it() {
    // The second photo's answer would take a minute: the close finds the worker inside it.
    afsample::Fault second;
    second.kind = afsample::FaultKind::Slow;
    second.path = "/large/" + photos_[1].pic_name;
    second.times = 1;
    second.delay = std::chrono::minutes(1);
    service_->add_fault(second);
    QTemporaryDir save;
    auto window = window_with_albums(save);
    service_->clear_requests();  // this download's image requests only
    control<QPushButton>(*window, QStringLiteral("按钮_下载选中"))->click();
    QVERIFY2(QTest::qWaitFor([&] { return !service_->requests_to(second.path).empty(); }, kWait),
             "the request for the second photo");
    QElapsedTimer closing;
    closing.start();
    window.reset();
    QVERIFY(closing.elapsed() < kPromptMs);
    // The transfer was cut off and the worker returned within the wait, joined with the
    // window: the album ended there, none of its later photos was asked for.
    QCOMPARE(MainWindow::downloads_still_finishing(), 0);
    for (std::size_t later = 2; later < photos_.size(); ++later)
      QVERIFY(service_->requests_to("/large/" + photos_[later].pic_name).empty());
  }

  void new_waits_do_not_wait_for_an_ended_worker() {
    QTemporaryDir save;
    auto window = window_with_albums(save);
    DiskHold hold;
    QVERIFY(download_until_the_disk_holds_it(*window));
    control<QPushButton>(*window, QStringLiteral("按钮_结束下载"))->click();
    QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), QStringLiteral("1000"), kWait);

    QElapsedTimer replacing;
    replacing.start();
    window->set_pacing(af::Pacing::shortened(0));
    QVERIFY(replacing.elapsed() < kPromptMs);
    QCOMPARE(MainWindow::downloads_still_finishing(), 1);

    // Once the disk lets go the old worker finishes, and the new downloader takes the
    // album to its end.
    SlowDisk::instance().release();
    QTRY_COMPARE_WITH_TIMEOUT(MainWindow::downloads_still_finishing(), 0, kWait);
    control<QPushButton>(*window, QStringLiteral("按钮_下载选中"))->click();
    QTRY_COMPARE_WITH_TIMEOUT(label_text(*window, QStringLiteral("标签_第多少张照片")),
                              QStringLiteral("下载完成"), kWait);
    QCOMPARE(files_under(save.path()).size(), 5);
  }
};

QTEST_MAIN(WindowCloseTest)
#include "window_close_test.moc"
