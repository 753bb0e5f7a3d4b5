// SPDX-License-Identifier: GPL-3.0-or-later
// The window under a person's hands: double clicks, keys after a download, boxes left
// open, a failed fetch after a good one, a switch ticked just before "3：下载选中", and the
// upload-time range on today's date.
#include <QCheckBox>
#include <QDateEdit>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QWindow>
#include <ctime>

#include "download/downloader.h"
#include "download/gallery.h"
#include "ui/dialogs.h"
#include "ui/page_tabs.h"
#include "window_support.h"

using af::MainWindow;
using af::test::button;
using af::test::buttons_shown;
using af::test::control;
using af::test::label_text;

namespace {

constexpr int kWait = 60000;

// The photos saved under `folder` (the album indexes are hidden; the gallery page is no photo).
int files_in(const QString& folder) {
  int n = 0;
  for (QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
    if (QFileInfo(it.next()).fileName().toStdString() != af::kGalleryPageName) ++n;
  return n;
}

}  // namespace

class WindowHandsTest : public QObject {
  Q_OBJECT

  QTemporaryDir home_;
  std::unique_ptr<afsample::SampleService> service_;
  QTemporaryDir save_;

  // A shown window on the sample service, its save folder empty, and the user of `uid`
  // with `albums` albums of two photos (the last one uploaded an hour ago) listed in it.
  std::unique_ptr<MainWindow> window_with_albums(const std::string& uid, int albums) {
    afsample::SampleUser user = afsample::make_user(uid, "/u/" + uid, "Hands");
    for (int k = 1; k <= albums; ++k)
      user.albums.push_back(
          afsample::make_album(uid + "00000" + std::to_string(k), "a" + std::to_string(k), 2));
    if (albums > 0) user.albums.back().photos.back().timestamp = std::time(nullptr) - 3600;
    service_->add_user(user);
    auto window = af::test::window_on_service(service_->base_url(), af::Pacing::shortened(0));
    window->show();
    window->tabs()->set_current_index(1);
    if (!QTest::qWaitForWindowExposed(window.get())) qWarning("the window is not exposed");
    QDir(save_.path()).removeRecursively();
    af::test::set_save_folder(*window, save_.path());
    if (albums > 0) af::test::list_albums_at(*window, service_->base_url() + "/u/" + uid, albums, kWait);
    service_->clear_requests();
    return window;
  }

  std::size_t requests_to(const std::string& prefix) const {
    std::size_t n = 0;
    for (const auto& request : service_->requests())
      if (request.path.rfind(prefix, 0) == 0) ++n;
    return n;
  }

  // A double click at the middle of `target`, through the window system as a mouse gives
  // it: the second press lands on whatever is under the pointer by then.
  static void double_click(MainWindow& window, QWidget* target) {
    const QPoint at = target->mapTo(&window, target->rect().center());
    QTest::mouseDClick(window.windowHandle(), Qt::LeftButton, {}, at);
  }

  // Until the finish (whole, or telling what was left out) and the idle buttons.
  static void wait_until_idle(MainWindow& window) {
    QTRY_VERIFY_WITH_TIMEOUT(window.log_box()->toPlainText().contains(QStringLiteral("全部下载完毕")) ||
                                 window.log_box()->toPlainText().contains(QStringLiteral("-------下载结束：")),
                             kWait);
    QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(window), QStringLiteral("1000"), kWait);
  }

 private slots:
  void initTestCase() {
    service_ = af::test::start_test_program(home_);
    QVERIFY(service_);
  }

  void init() { service_->reset(); }

  void double_click_runs_one_command_data() {
    QTest::addColumn<QString>("command");
    QTest::newRow("fetch") << QStringLiteral("按钮_获取相册封面");
    QTest::newRow("download") << QStringLiteral("按钮_下载选中");
  }

  void double_click_runs_one_command() {
    QFETCH(QString, command);
    auto window = window_with_albums("7600000001", 2);
    af::test::install_preset_dialogs(*window);
    double_click(*window, button(*window, command.toUtf8().constData()));
    if (command == QStringLiteral("按钮_获取相册封面")) {
      QTRY_VERIFY_WITH_TIMEOUT(!window->fetching_albums(), kWait);
      QCOMPARE(window->album_table()->rowCount(), 2);
      QCOMPARE(requests_to("/albums/get_all"), std::size_t(1));
      return;
    }
    wait_until_idle(*window);
    const QString log = window->log_box()->toPlainText();
    QCOMPARE(log.count(QStringLiteral("当前被选择相册编号:1、2、")), 1);
    QVERIFY(!log.contains(QStringLiteral("已暂停下载")));
    QCOMPARE(files_in(save_.path()), 4);

    // The focus is now on the album table: Space ticks, Enter and Tab start nothing; the
    // log box takes no typing and Tab leaves it.
    QCOMPARE(window->focusWidget(), static_cast<QWidget*>(window->album_table()));
    for (Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Tab})
      QTest::keyClick(window->focusWidget(), key);
    QCOMPARE(window->downloader()->state(), af::DownloadState::Idle);
    QPlainTextEdit* log_box = window->log_box();
    log_box->setFocus();
    QTest::keyClicks(log_box, QStringLiteral("typed"));
    QTest::keyClick(log_box, Qt::Key_Tab);
    QCOMPARE(log_box->toPlainText(), log);
    QVERIFY(window->focusWidget() != log_box);
  }

  // The finish box belongs to the window: a second one takes the first one's place, and
  // closing the window with a box open lets the program end.
  void finish_boxes_stay_with_the_window() {
    auto window = window_with_albums("7600000003", 1);
    auto* dialogs = new af::QtDialogs(window.get());
    window->set_dialogs(std::unique_ptr<af::Dialogs>(dialogs));
    for (int run = 0; run < 2; ++run) {
      button(*window, "按钮_下载选中")->click();
      QTRY_VERIFY_WITH_TIMEOUT(dialogs->current_notice() != nullptr, kWait);
      QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), QStringLiteral("1000"), kWait);
    }
    QMessageBox* box = dialogs->current_notice();
    QCOMPARE(box->text(), QStringLiteral("全部下载完毕"));
    QCOMPARE(dialogs->waiting_notices(), 0);
    QCOMPARE(box->window()->parentWidget(), static_cast<QWidget*>(window.get()));
    QVERIFY(!(box->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QCOMPARE(window->findChildren<QMessageBox*>().size(), 1);

    // The program quits when no visible window without an owner is left.
    const auto windows_kept = [] {
      int kept = 0;
      for (QWindow* w : QGuiApplication::topLevelWindows())
        kept += w->isVisible() && w->transientParent() == nullptr && w->type() != Qt::ToolTip;
      return kept;
    };
    QCOMPARE(windows_kept(), 1);
    window->close();
    QCOMPARE(windows_kept(), 0);
    QPointer<QMessageBox> left = box;
    window.reset();
    QVERIFY(left.isNull());
  }

  // The table is emptied when a fetch starts: a fetch that fails leaves no row of the user
  // before, so "3：下载选中" cannot download that user's albums under the new address.
  void failed_fetch_after_a_good_one_leaves_no_rows() {
    auto window = window_with_albums("7600000004", 2);
    af::test::install_preset_dialogs(*window);
    control<QLineEdit>(*window, QStringLiteral("编辑框_号码"))
        ->setText(QString::fromStdString(service_->base_url() + "/u/nobody"));
    QTest::keyClick(control<QLineEdit>(*window, QStringLiteral("编辑框_号码")), Qt::Key_Return);
    QCOMPARE(window->album_table()->rowCount(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!window->fetching_albums(), kWait);
    QCOMPARE(window->album_table()->rowCount(), 0);
    // Why is said in the status label, whole in its tooltip however long.
    const QString why = label_text(*window, QStringLiteral("标签_动态"));
    QVERIFY(why.contains(QStringLiteral("404")));
    QCOMPARE(control<QLabel>(*window, QStringLiteral("标签_动态"))->toolTip(), why);
    button(*window, "按钮_下载选中")->click();
    QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), QStringLiteral("1000"), kWait);
    QTRY_VERIFY_WITH_TIMEOUT(window->log_box()->toPlainText().contains(QStringLiteral("当前未选择任何相册")),
                             kWait);
    QCOMPARE(files_in(save_.path()), 0);
  }

  // The range switch ticked and "3：下载选中" clicked in the same turn of the event loop,
  // the end date as the window starts it: the download keeps to the range at once and
  // reaches today (of two photos, only the one of an hour ago is after yesterday).
  void range_ticked_with_the_click_reaches_today() {
    auto window = window_with_albums("7600000005", 1);
    af::test::install_preset_dialogs(*window);
    control<QDateEdit>(*window, QStringLiteral("日期框_开始时间"))
        ->setDate(QDateTime::currentDateTimeUtc().addSecs(8 * 3600).date().addDays(-1));
    control<QCheckBox>(*window, QStringLiteral("选择框_时间段"))->click();
    button(*window, "按钮_下载选中")->click();
    wait_until_idle(*window);
    QCOMPARE(files_in(save_.path()), 1);
    QCOMPARE(requests_to("/large/"), std::size_t(1));
    control<QCheckBox>(*window, QStringLiteral("选择框_时间段"))->click();
    window->wait_for_disk_writes();
  }
};

QTEST_MAIN(WindowHandsTest)
#include "window_hands_test.moc"
