// SPDX-License-Identifier: GPL-3.0-or-later
// The window as a desktop user meets it: a start as root, Chinese in every standard
// dialog and calendar, the focus when the command buttons change, notices that leave the
// window usable, the version check's words, a folder that cannot be opened, and addresses
// typed without a scheme.
#include <unistd.h>

#include <QApplication>
#include <QCalendarWidget>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QRegularExpression>
#include <QTreeView>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolButton>
#include <QWebEngineView>

#include "core/paths.h"
#include "http/cookie_store.h"
#include "sample_service.h"
#include "ui/album_table.h"
#include "ui/browser_page.h"
#include "ui/desktop.h"
#include "ui/dialogs.h"
#include "window_support.h"

using af::MainWindow;
using af::PresetDialogs;
using af::test::buttons_shown;
using af::test::button;
using af::test::control;

namespace {

constexpr int kWait = 60000;

// Whether the sandbox line was given when this program started.
QString g_sandbox_note;

QMessageBox* shown_notice(const MainWindow& window) {
  auto* dialogs = dynamic_cast<af::QtDialogs*>(&window.dialogs());
  return dialogs == nullptr ? nullptr : dialogs->current_notice();
}

}  // namespace

class DesktopWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir home_;
  std::unique_ptr<afsample::SampleService> service_;

  std::unique_ptr<MainWindow> active_window(const af::Pacing& pacing) {
    auto window = af::test::window_on_service(service_->base_url(), pacing);
    window->show();
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window.get())) qFatal("the window did not become active");
    return window;
  }

  // Lists the sample user's albums into the window and points its save folder at `save`.
  void list_albums(MainWindow& window, const QTemporaryDir& save) {
    control<QLineEdit>(window, QStringLiteral("编辑框_保存位置"))->setText(save.path());
    control<QLineEdit>(window, QStringLiteral("编辑框_号码"))
        ->setText(QString::fromStdString(service_->base_url() + "/u/7300000001"));
    button(window, "按钮_获取相册封面")->click();
    QTRY_COMPARE_WITH_TIMEOUT(window.album_table()->rowCount(), 1, kWait);
    QTRY_VERIFY_WITH_TIMEOUT(!window.fetching_home_page(), kWait);
  }

  // Clicks `name` the way a keyboard user does: focus on it, then Space.
  static void press(MainWindow& window, const char* name) {
    QPushButton* target = button(window, name);
    target->setFocus(Qt::TabFocusReason);
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(target));
    QTest::keyClick(target, Qt::Key_Space);
  }

 private slots:
  void initTestCase() {
    service_ = af::test::start_test_program(home_);
    QVERIFY(service_);
    afsample::SampleUser user = afsample::make_user("7300000001", "/u/7300000001", "Desktop");
    user.albums.push_back(afsample::make_album("3558936320000031", "many", 40));
    service_->add_user(user);
  }

  void root_start_shows_a_page() {
    if (geteuid() != 0) QSKIP("the tests do not run as root here");
    QVERIFY(!g_sandbox_note.isEmpty());
    QCOMPARE(qgetenv("QTWEBENGINE_DISABLE_SANDBOX"), QByteArray("1"));
    af::WindowOptions options;
    options.home = QStringLiteral("data:text/html,<title>started as root</title>");
    MainWindow window(options);
    window.show();
    QTRY_COMPARE_WITH_TIMEOUT(window.browser()->title(), QStringLiteral("started as root"), kWait);
  }

  void sandbox_stays_for_other_users() {
    QVERIFY(af::switch_off_sandbox_when_root(false).isEmpty());
    QVERIFY(af::switch_off_sandbox_when_root(true).contains(QStringLiteral("sandbox")));
  }

  // What reaches Qt's log, and from there stderr, when the window starts: neither the
  // engine's sandbox note nor the console of the pages shown; the program's own lines do.
  void engine_notes_and_page_consoles_stay_off_stderr() {
    static QStringList heard;
    heard.clear();
    const QtMessageHandler test_handler =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context, const QString& message) {
          heard << QString::fromLatin1(context.category) + QStringLiteral(": ") + message;
        });
    af::drop_web_engine_notes();
    qInfo("Sandboxing disabled by user.");
    qInfo("the program's own line");
    {
      af::WindowOptions options;
      options.home = QStringLiteral("data:text/html,<script>console.log('said'); undefined_name;</script>");
      MainWindow window(options);
      window.show();
      auto* page = qobject_cast<af::BrowserPage*>(window.browser()->page());
      QTRY_COMPARE_WITH_TIMEOUT(page->dropped_console_messages(), 2, kWait);
    }
    qInstallMessageHandler(test_handler);
    QVERIFY2(heard.contains(QStringLiteral("default: the program's own line")), qPrintable(heard.join('\n')));
    for (const QString& line : heard)
      QVERIFY2(!line.contains(QStringLiteral("Sandboxing")) && !line.startsWith(QStringLiteral("js:")),
               qPrintable(line));
  }

  void standard_buttons_and_the_folder_chooser_speak_chinese() {
    QMessageBox box(QMessageBox::Information, QStringLiteral("信息："), QStringLiteral("x"), QMessageBox::Ok);
    QCOMPARE(box.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
    QTemporaryDir parent;
    QVERIFY(QDir(parent.path()).mkdir(QStringLiteral("相册")));
    const auto chooser = af::make_folder_chooser(nullptr, QStringLiteral("选择相册的存放位置"), parent.path());
    auto* buttons = chooser->findChild<QDialogButtonBox*>();
    QVERIFY(buttons != nullptr);
    QCOMPARE(buttons->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("取消"));
    auto* look_in = chooser->findChild<QLabel*>(QStringLiteral("lookInLabel"));
    QVERIFY(look_in != nullptr);
    QVERIFY2(!look_in->text().contains(QStringLiteral("Look")), qPrintable(look_in->text()));
    // The details view: its headers and the kind of a folder.
    auto* files = chooser->findChild<QFileSystemModel*>();
    QVERIFY(files != nullptr);
    QCOMPARE(files->headerData(2, Qt::Horizontal).toString(), QStringLiteral("类型"));
    const QModelIndex folder = files->index(parent.path() + QStringLiteral("/相册"), 2);
    QTRY_VERIFY_WITH_TIMEOUT(!files->data(folder).toString().isEmpty(), kWait);
    QCOMPARE(files->data(folder).toString(), QStringLiteral("文件夹"));
    auto* view = chooser->findChild<QTreeView*>(QStringLiteral("treeView"));
    QVERIFY(view != nullptr);
    const QString modified = view->model()->data(view->model()->index(0, 3, view->rootIndex())).toString();
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d$")).match(modified).hasMatch(),
             qPrintable(modified));
  }

  void date_pickers_name_months_in_chinese() {
    af::WindowOptions options;
    options.home = QStringLiteral("about:blank");
    MainWindow window(options);
    auto* picker = control<QDateEdit>(window, QStringLiteral("日期框_开始时间"));
    QCalendarWidget* calendar = picker->calendarWidget();
    QVERIFY(calendar != nullptr);
    calendar->setSelectedDate(picker->date());
    auto* month = calendar->findChild<QToolButton*>(QStringLiteral("qt_calendar_monthbutton"));
    QVERIFY(month != nullptr);
    QCOMPARE(month->text(), QStringLiteral("三月"));
    QCOMPARE(calendar->locale().dayName(1, QLocale::ShortFormat), QStringLiteral("周一"));
  }

  void focus_moves_to_the_button_in_place() {
    QTemporaryDir save;
    // Real waits, so that the download is still running when it is ended.
    auto window = active_window(af::Pacing{});
    af::test::install_preset_dialogs(*window);
    list_albums(*window, save);
    press(*window, "按钮_下载选中");
    QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), QStringLiteral("0101"), kWait);
    QCOMPARE(QApplication::focusWidget(), button(*window, "按钮_暂停线程"));
    press(*window, "按钮_暂停线程");
    QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), QStringLiteral("0011"), kWait);
    QCOMPARE(QApplication::focusWidget(), button(*window, "按钮_继续下载"));
    press(*window, "按钮_结束下载");
    QTRY_COMPARE_WITH_TIMEOUT(buttons_shown(*window), QStringLiteral("1000"), kWait);
    // The album table, where a key starts no work; the save folder is untouched.
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window->album_table()));
    QCOMPARE(control<QLineEdit>(*window, QStringLiteral("编辑框_保存位置"))->text(), save.path());
  }

  void finish_notice_leaves_the_window_usable() {
    QTemporaryDir save;
    auto window = af::test::window_on_service(service_->base_url(), af::Pacing::shortened(0));
    window->show();
    list_albums(*window, save);
    button(*window, "按钮_下载选中")->click();
    QTRY_VERIFY_WITH_TIMEOUT(shown_notice(*window) != nullptr, kWait);
    QMessageBox* notice = shown_notice(*window);
    QCOMPARE(notice->text(), QStringLiteral("全部下载完毕"));
    QCOMPARE(notice->windowTitle(), QStringLiteral("信息："));
    QCOMPARE(notice->button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
    QCOMPARE(notice->windowModality(), Qt::NonModal);
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    // The window goes on answering while the notice is up: the next list comes in.
    window->album_table()->remove_all_rows();
    button(*window, "按钮_获取相册封面")->click();
    QTRY_COMPARE_WITH_TIMEOUT(window->album_table()->rowCount(), 1, kWait);
    QVERIFY(shown_notice(*window) == notice);
    notice->button(QMessageBox::Ok)->click();
    QTRY_VERIFY(shown_notice(*window) == nullptr);
  }

  void notices_come_one_at_a_time() {
    af::QtDialogs dialogs;
    dialogs.show_notice(QStringLiteral("一"), QStringLiteral("信息："));
    dialogs.show_notice(QStringLiteral("二"), QStringLiteral("信息："));
    QVERIFY(dialogs.current_notice() != nullptr);
    QCOMPARE(dialogs.current_notice()->text(), QStringLiteral("一"));
    QCOMPARE(dialogs.waiting_notices(), 1);
    dialogs.current_notice()->button(QMessageBox::Ok)->click();
    QTRY_VERIFY(dialogs.current_notice() != nullptr &&
                dialogs.current_notice()->text() == QStringLiteral("二"));
    QCOMPARE(dialogs.waiting_notices(), 0);
  }

  // A short text keeps the box as wide as its title needs.
  void boxes_leave_room_for_their_title() {
    af::QtDialogs dialogs;
    dialogs.show_notice(QStringLiteral("请输入网址"), QStringLiteral("信息："));
    QMessageBox* box = dialogs.current_notice();
    QVERIFY(box != nullptr);
    QTRY_VERIFY(box->isVisible());
    QVERIFY(box->width() >= af::kMessageBoxMinimumWidth);
    const QString long_caption(40, QChar(0x4FE1));
    QVERIFY(af::message_box_minimum_width(long_caption) > af::kMessageBoxMinimumWidth);
  }

  void version_check_says_its_outcome() {
    af::WindowOptions options;
    options.home = QStringLiteral("about:blank");
    MainWindow window(options);
    button(window, "按钮_checknew")->click();
    QTRY_COMPARE(window.version_checks_finished(), 1);
    QTRY_COMPARE(af::test::label_text(window, QStringLiteral("标签_banbenjieguo")),
                 af::version_check_outcome(1));
    QVERIFY(af::version_check_outcome(1).contains(QStringLiteral("1.0")));
    QVERIFY(af::version_check_outcome(1).contains(QStringLiteral("没有已知的更新版本")));
    QCOMPARE(af::test::label_text(window, QStringLiteral("标签_banben")), QStringLiteral("1.0"));
  }

  void missing_folder_is_said_in_words() {
    af::WindowOptions options;
    options.home = QStringLiteral("about:blank");
    MainWindow window(options);
    PresetDialogs* dialogs = af::test::install_preset_dialogs(window);
    const QString missing = home_.filePath(QStringLiteral("不存在"));
    control<QLineEdit>(window, QStringLiteral("编辑框_保存位置"))->setText(missing);
    button(window, "按钮_打开目录")->click();
    QVERIFY(dialogs->opened_folders().isEmpty());
    QCOMPARE(dialogs->messages().size(), std::size_t{1});
    QCOMPARE(dialogs->messages().front().text, QStringLiteral("无法打开目录：") + missing);
  }

  void file_manager_failure_is_said_in_words_data() {
    QTest::addColumn<QString>("opener");
    QTest::addColumn<bool>("notice");
    QTest::newRow("no file manager at all") << QStringLiteral("/nonexistent/xdg-open") << true;
    QTest::newRow("file manager refuses") << QStringLiteral("false") << true;
    QTest::newRow("file manager opens it") << QStringLiteral("true") << false;
  }

  void file_manager_failure_is_said_in_words() {
    QFETCH(QString, opener);
    QFETCH(bool, notice);
    af::QtDialogs dialogs;
    dialogs.set_folder_opener(opener);
    dialogs.open_folder(home_.path());
    QTRY_COMPARE(dialogs.running_openers(), 0);
    if (notice) {
      QVERIFY(dialogs.current_notice() != nullptr);
      QCOMPARE(dialogs.current_notice()->text(), af::cannot_open_folder_text(home_.path()));
    } else {
      QVERIFY(dialogs.current_notice() == nullptr);
    }
  }

  void typed_addresses_read_as_an_address_bar_does_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("address");
    QTest::newRow("host and port") << "weibo.com:8080/u/1"
                                   << "http://weibo.com:8080/u/1";
    QTest::newRow("localhost and port") << "localhost:8080/x"
                                        << "http://localhost:8080/x";
    QTest::newRow("address and port, blanks") << "  127.0.0.1:9/p "
                                              << "http://127.0.0.1:9/p";
    QTest::newRow("host alone") << "weibo.com"
                                << "http://weibo.com";
    QTest::newRow("host and path") << "weibo.com/u/1"
                                   << "http://weibo.com/u/1";
    QTest::newRow("with scheme") << "https://weibo.com/u/1"
                                 << "https://weibo.com/u/1";
    QTest::newRow("scheme without slashes") << "about:blank"
                                            << "about:blank";
  }

  void typed_addresses_read_as_an_address_bar_does() {
    QFETCH(QString, typed);
    QFETCH(QString, address);
    QCOMPARE(af::browser_address(typed).toString(), address);
  }
};

int main(int argc, char* argv[]) {
  // As the program does: only a process run as root switches the sandbox off, and it
  // must do so itself (the test environment's own switch is taken away first).
  if (geteuid() == 0) {
    unsetenv("QTWEBENGINE_DISABLE_SANDBOX");
    setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 1);
  }
  g_sandbox_note = af::switch_off_sandbox_when_root();
  QApplication app(argc, argv);
  af::use_chinese(app);
  DesktopWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "desktop_window_test.moc"
