// SPDX-License-Identifier: GPL-3.0-or-later
// The window and the disk: a save folder beyond GBK typed into the box receives the photos;
// a save folder that cannot be written stops the download with a log line and a message
// box; pause and end answer while a photo write is held.
#include <unistd.h>

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "download/archive.h"
#include "download/gallery.h"
#include "core/paths.h"
#include "download/photo_saver.h"
#include "http/cookie_store.h"
#include "sample_service.h"
#include "support/held_writes.h"
#include "ui/album_table.h"
#include "window_support.h"

using af::MainWindow;
using af::PresetDialogs;
using af::test::buttons_shown;
using af::test::button;
using af::test::control;
using af::test::has_message;
using af::test::set_save_folder;
using af::test::label_text;
using aftest::HeldWrites;

namespace {

constexpr int kWait = 60000;
const QString kIdle = QStringLiteral("1000");
const QString kRunning = QStringLiteral("0101");
const QString kPaused = QStringLiteral("0011");


// Every file under `folder`, hidden ones included (temporary files), album indexes and gallery
// pages left out.
QStringList files_under(const QString& folder) {
  QStringList files;
  QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    if (!path.endsWith(QLatin1String(af::kAlbumIndexName.data(), af::kAlbumIndexName.size())) &&
        !path.endsWith(QString::fromUtf8(af::kGalleryPageName)))
      files << path;
  }
  files.sort();
  return files;
}


}  // namespace

class StorageWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir home_;
  std::unique_ptr<afsample::SampleService> service_;

  std::unique_ptr<MainWindow> make_window() {
    auto window = af::test::window_on_service(service_->base_url(), af::Pacing::shortened(0));
    window->show();
    return window;
  }

  void list_albums(MainWindow& window, const std::string& path, int rows) {
    af::test::list_albums_at(window, service_->base_url() + path, rows, kWait);
  }


 private slots:
  void initTestCase() {
    service_ = af::test::start_test_program(home_);
    QVERIFY(service_);
  }

  void init() { service_->reset(); }

  void a_save_folder_beyond_gbk_receives_the_photos() {
    afsample::SampleUser user = afsample::make_user("7100000001", "/u/7100000001", "T");
    user.albums.push_back(afsample::make_album("3558936371000001", "A", 3));
    service_->add_user(user);
    auto window = make_window();
    PresetDialogs* dialogs = af::test::install_preset_dialogs(*window);
    QTemporaryDir save;
    const QString folder = save.path() + QStringLiteral("/s\u00f8ren \U0001F4F7");
    set_save_folder(*window, folder);
    list_albums(*window, "/u/7100000001", 1);
    button(*window, "按钮_下载选中")->click();
    QTRY_VERIFY_WITH_TIMEOUT(has_message(*dialogs, QStringLiteral("全部下载完毕")), kWait);
    const QStringList files = files_under(save.path());
    QCOMPARE(files.size(), 3);
    for (const QString& file : files)
      QVERIFY2(file.startsWith(folder + QStringLiteral("/T/A3/")), qPrintable(file));
  }

  void a_save_folder_that_is_a_file_stops_with_a_message() {
    afsample::SampleUser user = afsample::make_user("7100000002", "/u/7100000002", "T");
    user.albums.push_back(afsample::make_album("3558936371000002", "A", 3));
    service_->add_user(user);
    auto window = make_window();
    PresetDialogs* dialogs = af::test::install_preset_dialogs(*window);
    QTemporaryDir save;
    const QString file = save.path() + QStringLiteral("/f\u00f8");
    {
      QFile made(file);
      QVERIFY(made.open(QIODevice::WriteOnly));
    }
    set_save_folder(*window, file);
    list_albums(*window, "/u/7100000002", 1);
    button(*window, "按钮_下载选中")->click();
    const QString text =
        QStringLiteral("保存失败，下载已停止：") + file + QStringLiteral("/T/A3，原因：保存位置不是文件夹");
    QTRY_VERIFY_WITH_TIMEOUT(!dialogs->messages().empty(), kWait);
    QVERIFY2(dialogs->messages().front().text.startsWith(text), qPrintable(dialogs->messages().front().text));
    QCOMPARE(dialogs->messages().size(), std::size_t(1));
    QCOMPARE(dialogs->messages().front().caption, QStringLiteral("警告："));
    QCOMPARE(label_text(*window, QStringLiteral("标签_第多少张照片")), QStringLiteral("保存失败，已停止"));
    QVERIFY(window->log_box()->toPlainText().contains(text));
    QVERIFY(!window->log_box()->toPlainText().contains(QStringLiteral("全部下载完毕")));
    QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), kIdle, kWait);
    // No photo was requested (covers come with the album list).
    for (const auto& request : service_->requests())
      QVERIFY(request.path.rfind("/large/", 0) != 0 || request.path.find("cover_") != std::string::npos);
  }

  // Pause and end change the buttons while the worker is inside a held photo write: the
  // window never waits for the disk.
  void pause_and_end_answer_while_a_write_is_held() {
    afsample::SampleUser user = afsample::make_user("7100000003", "/u/7100000003", "T");
    user.albums.push_back(afsample::make_album("3558936371000003", "A", 5));
    service_->add_user(user);
    auto window = make_window();
    af::test::install_preset_dialogs(*window);
    QTemporaryDir save;
    set_save_folder(*window, save.path());
    list_albums(*window, "/u/7100000003", 1);

    HeldWrites held;
    button(*window, "按钮_下载选中")->click();
    QTRY_VERIFY_WITH_TIMEOUT(held.holding(), kWait);
    QCOMPARE(buttons_shown(*window), kRunning);

    QElapsedTimer clock;
    clock.start();
    button(*window, "按钮_暂停线程")->click();
    QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), kPaused, kWait);
    const qint64 paused_after = clock.elapsed();
    QVERIFY(held.holding());
    clock.restart();
    button(*window, "按钮_结束下载")->click();
    QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), kIdle, kWait);
    const qint64 ended_after = clock.elapsed();
    QVERIFY(held.holding());
    qInfo("buttons changed %lld ms after pause and %lld ms after end, the write still held",
          static_cast<long long>(paused_after), static_cast<long long>(ended_after));

    held.release();
    QVERIFY(window->downloader() != nullptr);
    // The held photo is finished and removed: nothing of it stays.
    QTRY_VERIFY_WITH_TIMEOUT(files_under(save.path()).isEmpty(), kWait);
  }
};

QTEST_MAIN(StorageWindowTest)
#include "storage_window_test.moc"
