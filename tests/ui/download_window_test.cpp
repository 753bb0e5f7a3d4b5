// SPDX-License-Identifier: GPL-3.0-or-later
// "3：下载选中" and its pause, continue and end buttons in the real window against the
// sample photo service; the Qt bridge's rules for what reaches the window; the demo.
#include <QCheckBox>
#include <QDirIterator>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "core/paths.h"
#include "download/downloader.h"
#include "download/gallery.h"
#include "http/cookie_store.h"
#include "sample_service.h"
#include "ui/album_table.h"
#include "ui/demo_mode.h"
#include "ui/qt_text.h"
#include "ui/qt_window_bridge.h"
#include "util/codepage.h"
#include "window_support.h"

using af::MainWindow;
using af::PresetDialogs;
using af::test::buttons_shown;
using af::test::button;
using af::test::control;
using af::test::has_message;
using af::test::set_save_folder;
using af::test::label_text;

namespace {

constexpr int kWait = 60000;

const QString kIdle = QStringLiteral("1000");
const QString kRunning = QStringLiteral("0101");
const QString kPaused = QStringLiteral("0011");


// Every file under `folder` (recursively), as its bytes, keyed by its path; the gallery
// pages left out.
std::map<QString, QByteArray> files_under(const QString& folder) {
  std::map<QString, QByteArray> files;
  QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    QFile file(path);
    if (!path.endsWith(QString::fromUtf8(af::kGalleryPageName)) && file.open(QIODevice::ReadOnly))
      files[path] = file.readAll();
  }
  return files;
}

// When the service took up each photo request (covers left out), in order.
std::vector<std::chrono::steady_clock::time_point> image_requests(const afsample::SampleService& service) {
  std::vector<std::chrono::steady_clock::time_point> times;
  for (const auto& request : service.requests())
    if (request.path.rfind("/large/", 0) == 0 && request.path.find("cover_") == std::string::npos)
      times.push_back(request.at);
  return times;
}

}  // namespace

class DownloadWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir home_;
  std::unique_ptr<afsample::SampleService> service_;

  std::unique_ptr<MainWindow> make_window(const af::Pacing& pacing = af::Pacing::shortened(0)) {
    auto window = af::test::window_on_service(service_->base_url(), pacing);
    window->show();
    return window;
  }

  void list_albums(MainWindow& window, const std::string& path, int rows) {
    af::test::list_albums_at(window, service_->base_url() + path, rows, kWait);
  }

  // A window on the service holding `user`, its boxes preset, saving into a folder of its
  // own, with the user's albums listed.
  struct Listed {
    std::unique_ptr<MainWindow> window;
    PresetDialogs* dialogs = nullptr;
    std::unique_ptr<QTemporaryDir> save = std::make_unique<QTemporaryDir>();
  };
  Listed listed(const afsample::SampleUser& user, const af::Pacing& pacing = af::Pacing::shortened(0)) {
    service_->add_user(user);
    Listed shown;
    shown.window = make_window(pacing);
    shown.dialogs = af::test::install_preset_dialogs(*shown.window);
    set_save_folder(*shown.window, shown.save->path());
    list_albums(*shown.window, user.path, static_cast<int>(user.albums.size()));
    return shown;
  }


 private slots:
  void initTestCase() {
    service_ = af::test::start_test_program(home_);
    QVERIFY(service_);
  }

  void init() { service_->reset(); }

  void whole_download_ends_with_the_box_and_the_files() {
    afsample::SampleUser user = afsample::make_user("7000000001", "/u/7000000001", "Downloader");
    user.albums.push_back(afsample::make_album("3558936320000001", "first", 4));
    user.albums.push_back(afsample::make_album("3558936320000002", "second", 3, 2));
    auto [window, dialogs, save] = listed(user);
    QCOMPARE(buttons_shown(*window), kIdle);

    button(*window, "按钮_下载选中")->click();
    QTRY_VERIFY_WITH_TIMEOUT(has_message(*dialogs, QStringLiteral("全部下载完毕")), kWait);
    QCOMPARE(dialogs->messages().back().caption, QStringLiteral("信息："));
    QCOMPARE(dialogs->messages().size(), std::size_t(1));
    QCOMPARE(buttons_shown(*window), kIdle);
    QCOMPARE(label_text(*window, QStringLiteral("标签_第多少张照片")), QStringLiteral("下载完成"));
    QCOMPARE(label_text(*window, QStringLiteral("标签_进度条比例")), QStringLiteral("100%"));
    QCOMPARE(label_text(*window, QStringLiteral("标签_选择了相册数量")),
             QStringLiteral("总共需下载[2]个相册"));
    QCOMPARE(label_text(*window, QStringLiteral("标签_正在下载相册")), QStringLiteral("下载到第[2]个相册"));
    auto* bar = control<QProgressBar>(*window, QStringLiteral("进度条1"));
    QCOMPARE(bar->maximum(), 3);
    QCOMPARE(bar->value(), 3);
    const QString log = window->log_box()->toPlainText();
    QVERIFY(log.contains(QStringLiteral("当前被选择相册编号:1、2、\n\n")));
    QVERIFY(log.contains(QStringLiteral("准备下载相册《first》\n\n")));
    QVERIFY(log.contains(QStringLiteral("---完成相册《second3》下载\n\n")));
    QVERIFY(log.endsWith(QStringLiteral("-------全部下载完毕--------\n\n")));

    // Every photo on disk, byte for byte what the service sent.
    std::multiset<QByteArray> served;
    for (const auto& album : user.albums)
      for (const auto& photo : album.photos) {
        const std::string bytes = service_->image_bytes(photo.pic_name);
        served.insert(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
      }
    std::multiset<QByteArray> written;
    for (const auto& [path, bytes] : files_under(save->path())) written.insert(bytes);
    QCOMPARE(written.size(), std::size_t(7));
    QVERIFY(written == served);
  }

  void pause_continue_and_end_with_the_window_answering() {
    afsample::SampleUser user = afsample::make_user("7000000002", "/u/7000000002", "Pausing");
    user.albums.push_back(afsample::make_album("3558936320000011", "long", 30));
    user.albums.push_back(afsample::make_album("3558936320000012", "skipped", 2));
    user.albums.push_back(afsample::make_album("3558936320000013", "last", 2));
    // The wait after each photo is kept long enough to pause in the middle of the album.
    af::Pacing pacing = af::Pacing::shortened(0);
    pacing.after_photo = std::chrono::milliseconds(200);
    auto [window, dialogs, save] = listed(user, pacing);
    window->album_table()->set_row_ticked(1, false);

    // The window answers throughout: a timer on its thread keeps firing.
    std::atomic<int> ticks{0};
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
    ticker.start(10);

    button(*window, "按钮_下载选中")->click();
    QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), kRunning, kWait);
    QTRY_VERIFY_WITH_TIMEOUT(
        window->log_box()->toPlainText().contains(QStringLiteral("当前被选择相册编号:1、3、\n\n")), kWait);
    QTRY_VERIFY_WITH_TIMEOUT(image_requests(*service_).size() >= 2, kWait);

    button(*window, "按钮_暂停线程")->click();
    QCOMPARE(window->downloader()->state(), af::DownloadState::Paused);
    QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), kPaused, kWait);
    QVERIFY2(af::test::posted_calls_ran(*window), "the updates posted before the pause");
    const std::size_t requested = image_requests(*service_).size();
    const QString log = window->log_box()->toPlainText();
    QVERIFY(log.endsWith(QStringLiteral("已暂停下载\n\n")));
    const QString counter = label_text(*window, QStringLiteral("标签_第多少张照片"));
    const int ticks_before = ticks;
    QTRY_VERIFY_WITH_TIMEOUT(ticks > ticks_before, kWait);
    QCOMPARE(label_text(*window, QStringLiteral("标签_第多少张照片")), counter);

    // Nothing is asked for or shown while paused: the next photo request and the next log
    // line come after continue.
    const auto continued = std::chrono::steady_clock::now();
    button(*window, "按钮_继续下载")->click();
    QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), kRunning, kWait);
    QTRY_VERIFY_WITH_TIMEOUT(image_requests(*service_).size() > requested, kWait);
    QVERIFY(image_requests(*service_)[requested] > continued);
    QVERIFY(window->log_box()->toPlainText().startsWith(log + QStringLiteral("继续下载\n\n")));

    button(*window, "按钮_结束下载")->click();
    QCOMPARE(window->downloader()->state(), af::DownloadState::Idle);
    QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), kIdle, kWait);
    // A new downloader takes the ended one's place, which goes once its worker has returned;
    // when what that worker posted has landed, nothing more of it can come.
    window->set_pacing(af::Pacing::shortened(0));
    QTRY_COMPARE_WITH_TIMEOUT(MainWindow::downloads_still_finishing(), 0, kWait);
    QVERIFY2(af::test::posted_calls_ran(*window), "the updates posted before the end");
    const std::size_t at_end = image_requests(*service_).size();
    const QString log_at_end = window->log_box()->toPlainText();
    const int ticks_at_end = ticks;
    QTRY_VERIFY_WITH_TIMEOUT(ticks > ticks_at_end, kWait);
    // The end's line is the last, and says how many photos were saved.
    QVERIFY(log_at_end.endsWith(
        QStringLiteral("已结束下载：已保存 %1 张\n\n").arg(files_under(save->path()).size())));
    QVERIFY(!has_message(*dialogs, QStringLiteral("全部下载完毕")));
    QCOMPARE(buttons_shown(*window), kIdle);
    QVERIFY(at_end < 30u);  // ended inside the first album

    // A new start after the end downloads the same albums to their end.
    button(*window, "按钮_下载选中")->click();
    QTRY_VERIFY_WITH_TIMEOUT(has_message(*dialogs, QStringLiteral("全部下载完毕")), kWait);
    QCOMPARE(buttons_shown(*window), kIdle);
    QCOMPARE(files_under(save->path()).size(), std::size_t(32));
  }

  void bridge_drops_updates_of_an_ended_download() {
    auto window = make_window();
    PresetDialogs* dialogs = af::test::install_preset_dialogs(*window);
    auto bridge = af::QtWindowBridge::create(window.get());
    const af::Generation stale = 987654;
    QVERIFY(!window->downloader()->is_current(stale));
    bridge->log(stale, af::G("不应显示"));
    bridge->progress(stale, af::PhotoProgress{3, 12, "12"});
    bridge->download_finished(stale, true);
    bridge->state_changed(stale, af::DownloadState::Running);
    bridge->message(stale, af::G("全部下载完毕"));
    bridge->log(af::kControllerGeneration, af::G("显示") + "\r\n");
    bridge->message(af::kControllerGeneration, af::G("全部下载完毕"));
    // Posted, never shown from inside the caller.
    QVERIFY(dialogs->messages().empty());
    QTRY_COMPARE_WITH_TIMEOUT(window->log_box()->toPlainText(), QStringLiteral("显示\n"), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(dialogs->messages().size(), std::size_t(1), kWait);
    QCOMPARE(dialogs->messages()[0].text, QStringLiteral("全部下载完毕"));
    QCOMPARE(dialogs->messages()[0].caption, QStringLiteral("信息："));
    QCOMPARE(label_text(*window, QStringLiteral("标签_第多少张照片")), QString());
    QCOMPARE(buttons_shown(*window), kIdle);
  }

  void bridge_progress_bar_rules_data() {
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("shown_maximum");
    QTest::addColumn<int>("shown_value");
    QTest::newRow("inside") << 1234 << 150 << 1234 << 150;
    QTest::newRow("beyond the maximum: full") << 100 << 130 << 100 << 100;
    QTest::newRow("maximum 0: full") << 0 << 0 << 1 << 1;
    QTest::newRow("maximum 0, position 5: full") << 0 << 5 << 1 << 1;
    QTest::newRow("at 32767") << 32767 << 32767 << 32767 << 32767;
    QTest::newRow("held at 32767") << 40000 << 35000 << 32767 << 32767;
    QTest::newRow("position 0") << 7 << 0 << 7 << 0;
  }

  void bridge_progress_bar_rules() {
    QFETCH(int, maximum);
    QFETCH(int, position);
    QFETCH(int, shown_maximum);
    QFETCH(int, shown_value);
    auto window = make_window();
    auto bridge = af::QtWindowBridge::create(window.get());
    auto* bar = control<QProgressBar>(*window, QStringLiteral("进度条1"));
    // From a worker thread, as the download sends them.
    std::thread worker([&] {
      bridge->progress(af::kControllerGeneration, af::PhotoProgress{0, maximum, std::to_string(maximum)});
      bridge->progress(af::kControllerGeneration,
                       af::PhotoProgress{position, maximum, std::to_string(maximum)});
    });
    worker.join();
    QTRY_COMPARE_WITH_TIMEOUT(bar->maximum(), shown_maximum, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), shown_value, kWait);
    QCOMPARE(bar->minimum(), 0);
  }

  // The finish fills the bar whatever maximum it has: with no album run, the one the album
  // list gave it.
  void bridge_finish_fills_the_bar_data() {
    QTest::addColumn<int>("albums");
    QTest::addColumn<int>("position");
    QTest::newRow("a list of 300, at 120") << 300 << 120;
    QTest::newRow("a list of 40000") << 40000 << 3;
    QTest::newRow("at the start") << 100 << 0;
  }

  void bridge_finish_fills_the_bar() {
    QFETCH(int, albums);
    QFETCH(int, position);
    auto window = make_window();
    auto bridge = af::QtWindowBridge::create(window.get());
    auto* bar = control<QProgressBar>(*window, QStringLiteral("进度条1"));
    std::thread worker([&] {
      if (position > 0) bridge->list_progress(position, albums);
      bridge->download_finished(af::kControllerGeneration, true);
    });
    worker.join();
    QTRY_COMPARE_WITH_TIMEOUT(label_text(*window, QStringLiteral("标签_第多少张照片")),
                              QStringLiteral("下载完成"), kWait);
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(label_text(*window, QStringLiteral("标签_进度条比例")), QStringLiteral("100%"));
  }

  void bridge_reads_the_cover_box_from_any_thread() {
    auto window = make_window();
    auto bridge = af::QtWindowBridge::create(window.get());
    auto* box = control<QCheckBox>(*window, QStringLiteral("选择框_有图"));
    for (bool ticked : {true, false, true}) {
      box->setChecked(ticked);
      QCOMPARE(bridge->covers_wanted(), ticked);  // on the window's thread: read directly
      std::atomic<int> answer{-1};
      std::thread job([&] { answer = bridge->covers_wanted() ? 1 : 0; });
      // The job reads the option as the window last showed it.
      QTRY_VERIFY_WITH_TIMEOUT(answer != -1, kWait);
      job.join();
      QCOMPARE(answer.load(), ticked ? 1 : 0);
    }
  }

  // A ban on this machine: the first album's tries, then the download stops with one box
  // saying when to try again, the buttons idle; the next click, still banned, is told to
  // wait longer.
  void a_ban_stops_the_download_with_one_message() {
    afsample::SampleUser user = afsample::make_user("7000000009", "/u/7000000009", "Banned");
    user.albums.push_back(afsample::make_album("3558936320000091", "first", 4));
    user.albums.push_back(afsample::make_album("3558936320000092", "second", 3));
    auto [window, dialogs, save] = listed(user);
    afsample::Fault ban;
    ban.kind = afsample::FaultKind::Status;
    ban.status = 418;
    ban.path = "/photos/get_all";
    service_->add_fault(ban);

    std::vector<std::string> advised;
    for (int click = 1; click <= 2; ++click) {
      service_->clear_requests();
      button(*window, "按钮_下载选中")->click();
      QTRY_COMPARE_WITH_TIMEOUT(dialogs->messages().size(), std::size_t(click), kWait);
      const QString text = dialogs->messages().back().text;
      QVERIFY2(text.startsWith(QStringLiteral("服务正在限制本机的请求：已停止请求，已保存的照片都在，没有丢失。")),
               qPrintable(text));
      QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), kIdle, kWait);
      const QString status = label_text(*window, QStringLiteral("标签_动态"));
      QVERIFY2(status.startsWith(QStringLiteral("请求受限，已停止：请在 ")), qPrintable(status));
      advised.push_back(status.toStdString());
      QCOMPARE(service_->requests_to("/photos/get_all").size(), std::size_t(10));
      QVERIFY(!window->log_box()->toPlainText().contains(QStringLiteral("全部下载完毕")));
    }
    QVERIFY2(advised[0] < advised[1], (advised[0] + " / " + advised[1]).c_str());
    QVERIFY(files_under(save->path()).empty());
  }

  // What a person meets at the window's finish, run after run: a photo that fails, then the
  // same album with the record on into a new save folder, then nothing ticked. Each finish
  // says what happened; only a complete one says "全部下载完毕".
  void the_finish_says_what_was_not_saved() {
    afsample::SampleUser user = afsample::make_user("7000000010", "/u/7000000010", "Finish");
    user.albums.push_back(afsample::make_album("3558936320000101", "A", 4));
    user.albums[0].photos[1].image_fault_status = 404;
    user.albums[0].photos[1].image_fault_times = 2;  // both tries of the first download
    service_->add_user(user);
    auto window = make_window();
    PresetDialogs* dialogs = af::test::install_preset_dialogs(*window);
    QTemporaryDir first_folder;
    QTemporaryDir second_folder;
    set_save_folder(*window, first_folder.path());
    list_albums(*window, "/u/7000000010", 1);
    auto* record = control<QCheckBox>(*window, QStringLiteral("选择框_下载记录"));
    if (!record->isChecked()) record->click();

    struct Finish {
      QString folder;
      QString box;  // its first line
      QString album_lines;  // in the log before the album's line
      QString advice;
    };
    const QString skipped = QStringLiteral("已跳过3张（下载记录）\n");
    for (const Finish& f :
         {Finish{first_folder.path(), QStringLiteral("下载结束：已保存3张，失败1张。"), QString(), QString()},
          Finish{second_folder.path(), QStringLiteral("下载结束：已保存1张，已跳过3张（下载记录）。"), skipped,
                 QStringLiteral("3张照片记在下载记录里，却不在这次的相册文件夹中")}}) {
      set_save_folder(*window, f.folder);
      const std::size_t shown = dialogs->messages().size();
      button(*window, "按钮_下载选中")->click();
      QTRY_COMPARE_WITH_TIMEOUT(dialogs->messages().size(), shown + 1, kWait);
      const auto& box = dialogs->messages().back();
      QCOMPARE(box.caption, QStringLiteral("警告："));
      QVERIFY2(box.text.startsWith(f.box), qPrintable(box.text));
      QVERIFY2(box.text.contains(f.advice), qPrintable(box.text));
      QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), kIdle, kWait);
      QCOMPARE(label_text(*window, QStringLiteral("标签_第多少张照片")), QStringLiteral("下载结束"));
      const QString log = window->log_box()->toPlainText();
      QVERIFY2(log.contains(f.album_lines + QStringLiteral("---完成相册《A4》下载")), qPrintable(log));
      QVERIFY(log.contains(QStringLiteral("-------") + f.box + QStringLiteral("-------")));
      QVERIFY(!log.contains(QStringLiteral("全部下载完毕")));
    }

    // Nothing ticked: one line, no box, no download.
    window->album_table()->set_row_ticked(0, false);
    const std::size_t shown = dialogs->messages().size();
    service_->clear_requests();
    button(*window, "按钮_下载选中")->click();
    QTRY_VERIFY_WITH_TIMEOUT(window->log_box()->toPlainText().endsWith(
                                 QStringLiteral("当前未选择任何相册：请先在相册列表中勾选要下载的相册\n\n")),
                             kWait);
    QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), kIdle, kWait);
    QCOMPARE(dialogs->messages().size(), shown);
    QVERIFY(service_->requests().empty());
    // The last download's labels are gone.
    QCOMPARE(label_text(*window, QStringLiteral("标签_第多少张照片")), QString());
    QCOMPARE(label_text(*window, QStringLiteral("标签_选择了相册数量")), QString());
  }

  void demo_lists_and_downloads_offline() {
    af::DemoService demo;
    af::WindowOptions options;
    options.pacing = af::Pacing::shortened(0);
    MainWindow window(demo.window_options(options));
    PresetDialogs* dialogs = af::test::install_preset_dialogs(window);
    QCOMPARE(control<QLineEdit>(window, QStringLiteral("编辑框_号码"))->text(),
             QString::fromStdString(demo.base_url() + "/u/1234567890"));
    QCOMPARE(window.service_base(), QString::fromStdString(demo.base_url()));
    QCOMPARE(window.home_address(), QString::fromStdString(demo.base_url() + "/"));
    QTemporaryDir save;
    set_save_folder(window, save.path());

    button(window, "按钮_获取相册封面")->click();
    QTRY_VERIFY_WITH_TIMEOUT(
        label_text(window, QStringLiteral("标签_动态")) == QStringLiteral("相册列表获取完毕,共计3个"), kWait);
    QCOMPARE(window.album_table()->model()->index(0, 2).data().toString(), QStringLiteral("旅行"));
    QCOMPARE(window.album_table()->model()->index(1, 2).data().toString(), QStringLiteral("微博配图"));
    QCOMPARE(window.album_table()->model()->index(2, 2).data().toString(), QStringLiteral("家人"));
    for (int row = 0; row < 3; ++row) {
      const QPixmap cover = window.album_table()->model()->index(row, 3).data(Qt::DecorationRole).value<QPixmap>();
      QCOMPARE(cover.size(), QSize(100, 100));
    }

    button(window, "按钮_下载选中")->click();
    QTRY_VERIFY_WITH_TIMEOUT(has_message(*dialogs, QStringLiteral("全部下载完毕")), kWait);
    // 12 + 45 (pages of 30, beyond the stated count's first page) + 3.
    QCOMPARE(files_under(save.path()).size(), std::size_t(60));
    QCOMPARE(buttons_shown(window), kIdle);
  }
};

QTEST_MAIN(DownloadWindowTest)
#include "download_window_test.moc"
