// SPDX-License-Identifier: GPL-3.0-or-later
// The login page's browser: start-up navigation, opening the typed address, and links
// that ask for a new window staying in the page. Pages come from a local server.
#include <httplib.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWebEngineView>
#include <mutex>
#include <thread>

#include "core/paths.h"
#include "ui/browser_page.h"
#include "ui/page_tabs.h"
#include "window_support.h"

using af::MainWindow;
using af::test::control;

namespace {

// A page server on 127.0.0.1 with a free port, recording the paths it was asked for.
class PageServer {
 public:
  PageServer() {
    server_.Get("/", [this](const httplib::Request& request, httplib::Response& response) {
      record(request.path);
      response.set_content(
          "<html><body style='margin:0'>"
          "<a id='popup' href='/second' target='_blank' "
          "style='display:block;width:400px;height:200px;background:#cde'>open in a new window</a>"
          "<a id='plain' href='/third' style='display:block;width:400px;height:100px'>plain</a>"
          "<form id='form' action='/second' method='get' target='_blank'>"
          "<input name='from' value='form'></form>"
          "</body></html>",
          "text/html");
    });
    server_.Get("/second", [this](const httplib::Request& request, httplib::Response& response) {
      record(request.path);
      response.set_content("<html><head><title>second</title></head><body>second</body></html>", "text/html");
    });
    server_.Get("/third", [this](const httplib::Request& request, httplib::Response& response) {
      record(request.path);
      response.set_content("<html><head><title>third</title></head><body>third</body></html>", "text/html");
    });
    server_.Get("/typed", [this](const httplib::Request& request, httplib::Response& response) {
      record(request.path);
      response.set_content("<html><head><title>typed</title></head><body>typed</body></html>", "text/html");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // The socket listens once bound; requests wait in its backlog until the loop runs.
  }
  ~PageServer() {
    server_.stop();
    thread_.join();
  }
  QString url(const char* path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path); }
  // The address as a person types it: no scheme.
  QString typed(const char* path) const { return QStringLiteral("127.0.0.1:%1%2").arg(port_).arg(path); }
  QStringList paths() const {
    std::lock_guard lock(mutex_);
    return paths_;
  }

 private:
  void record(const std::string& path) {
    std::lock_guard lock(mutex_);
    paths_ << QString::fromStdString(path);
  }

  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  QStringList paths_;
};

}  // namespace

class LoginBrowserTest : public QObject {
  Q_OBJECT

  // A window whose browser shows the server's first page, loaded, with nothing in the
  // status bar.
  std::unique_ptr<MainWindow> window_on_first_page(const PageServer& server) {
    af::WindowOptions options;
    options.home = server.url("/");
    auto window = std::make_unique<MainWindow>(options);
    window->show();
    QSignalSpy loaded(window->browser(), &QWebEngineView::loadFinished);
    if (!QTest::qWaitFor([&] { return loaded.count() >= 1; }, 30000)) qFatal("the first page did not load");
    if (window->browser()->url() != QUrl(server.url("/"))) qFatal("the first page is not shown");
    if (!window->browser_page()->status_text().isEmpty()) qFatal("the status bar is not empty");
    return window;
  }

 private slots:
  void initTestCase() {
    QVERIFY(home_.isValid());
    af::set_program_directory(home_.path().toStdString());
  }

  void start_up_sends_browser_home() {
    PageServer server;
    af::WindowOptions options;
    options.home = server.url("/");
    MainWindow window(options);
    QTRY_COMPARE_WITH_TIMEOUT(window.browser()->url(), QUrl(server.url("/")), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(server.paths().contains(QStringLiteral("/")), 30000);
  }

  void open_address_passes_the_typed_text() {
    PageServer server;
    af::WindowOptions options;
    options.home = server.url("/");
    MainWindow window(options);
    // Start-up's own navigation lands first; the operator's address comes after it.
    QTRY_COMPARE_WITH_TIMEOUT(window.browser()->url(), QUrl(server.url("/")), 30000);
    auto* box = control<QLineEdit>(window, QStringLiteral("编辑框_url"));
    box->setText(server.url("/typed"));
    control<QPushButton>(window, QStringLiteral("按钮_打开"))->click();
    QTRY_VERIFY_WITH_TIMEOUT(server.paths().contains(QStringLiteral("/typed")), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(window.browser()->title(), QStringLiteral("typed"), 30000);
    QCOMPARE(box->text(), server.url("/typed"));
  }

  void new_window_link_stays_in_page() {
    PageServer server;
    af::WindowOptions options;
    options.home = server.url("/");
    MainWindow window(options);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const int top_levels = static_cast<int>(QApplication::topLevelWidgets().size());
    QSignalSpy loaded(window.browser(), &QWebEngineView::loadFinished);
    QTRY_VERIFY_WITH_TIMEOUT(loaded.count() >= 1, 30000);
    QVERIFY(loaded.last().at(0).toBool());

    QWidget* surface = window.browser()->focusProxy();
    QVERIFY(surface != nullptr);
    const QPoint on_link(100, 100);
    // The pointer resting on the link puts its address into the status bar.
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
          QTest::mouseMove(surface, on_link + QPoint(loaded.count() % 2, 0));
          return window.browser_page()->status_text() == server.url("/second");
        }(),
        30000);
    QTest::mouseClick(surface, Qt::LeftButton, {}, on_link);
    QTRY_COMPARE_WITH_TIMEOUT(window.browser()->title(), QStringLiteral("second"), 30000);
    QCOMPARE(window.browser()->url(), QUrl(server.url("/second")));
    QCOMPARE(window.browser_page()->refused_windows(), 1);
    QCOMPARE(static_cast<int>(QApplication::topLevelWidgets().size()), top_levels);
    QCOMPARE(server.paths().count(QStringLiteral("/second")), 1);
  }

  void new_window_request_opens_status_text() {
    PageServer server;
    af::WindowOptions options;
    options.home = server.url("/");
    MainWindow window(options);
    QSignalSpy loaded(window.browser(), &QWebEngineView::loadFinished);
    QTRY_VERIFY_WITH_TIMEOUT(loaded.count() >= 1, 30000);
    QCOMPARE(window.browser()->url(), QUrl(server.url("/")));
    // A script's window.open while the status bar shows a link's address.
    emit window.browser_page()->linkHovered(server.url("/typed"));
    window.browser_page()->runJavaScript(QStringLiteral("window.open('/second', '_blank');"));
    QTRY_COMPARE_WITH_TIMEOUT(window.browser()->title(), QStringLiteral("typed"), 30000);
    QCOMPARE(window.browser_page()->refused_windows(), 1);
    QVERIFY(!server.paths().contains(QStringLiteral("/second")));
  }

  // With nothing in the status bar (a script's window.open, a form aimed at a new window,
  // a link followed from the keyboard, the pointer already gone from the link), the page
  // the new window asks for is shown in place; the page is never blanked.
  void new_window_request_without_status_text_opens_its_address_data() {
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("address");
    QTest::newRow("script") << QStringLiteral("window.open('/second', '_blank');") << QStringLiteral("second")
                            << QStringLiteral("/second");
    QTest::newRow("form") << QStringLiteral("document.getElementById('form').submit();")
                          << QStringLiteral("second") << QStringLiteral("/second?from=form");
    QTest::newRow("pointer left the link") << QStringLiteral("window.open('/third', '_blank');")
                                           << QStringLiteral("third") << QStringLiteral("/third");
  }

  void new_window_request_without_status_text_opens_its_address() {
    QFETCH(QString, action);
    QFETCH(QString, title);
    QFETCH(QString, address);
    PageServer server;
    auto window = window_on_first_page(server);
    const int top_levels = static_cast<int>(QApplication::topLevelWidgets().size());
    if (QString::fromUtf8(QTest::currentDataTag()) == QStringLiteral("pointer left the link")) {
      emit window->browser_page()->linkHovered(server.url("/second"));
      emit window->browser_page()->linkHovered(QString());
    }
    window->browser_page()->runJavaScript(action);
    QTRY_COMPARE_WITH_TIMEOUT(window->browser()->title(), title, 30000);
    QCOMPARE(window->browser()->url(), QUrl(server.url(address.toUtf8().constData())));
    QCOMPARE(window->browser_page()->refused_windows(), 1);
    QCOMPARE(static_cast<int>(QApplication::topLevelWidgets().size()), top_levels);
  }

  // Focus puts the link's address into the status bar, as the pointer does.
  void link_followed_from_the_keyboard_into_a_new_window_stays_in_page() {
    PageServer server;
    auto window = window_on_first_page(server);
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    bool ok = false;
    window->browser_page()->runJavaScript(
        QStringLiteral("document.getElementById('popup').focus(); "
                       "document.activeElement.id;"),
        [&](const QVariant& id) { ok = id.toString() == QStringLiteral("popup"); });
    QTRY_VERIFY_WITH_TIMEOUT(ok, 30000);
    QWidget* surface = window->browser()->focusProxy();
    QVERIFY(surface != nullptr);
    surface->setFocus();
    QTest::keyClick(surface, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(window->browser()->title(), QStringLiteral("second"), 30000);
    QCOMPARE(window->browser()->url(), QUrl(server.url("/second")));
    QCOMPARE(window->browser_page()->refused_windows(), 1);
  }

  // What the browser makes of a text, as an address bar does.
  void browser_address_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QUrl>("address");
    QTest::newRow("host only") << QStringLiteral("weibo.com") << QUrl(QStringLiteral("http://weibo.com"));
    QTest::newRow("host and path") << QStringLiteral("weibo.com/u/1")
                                   << QUrl(QStringLiteral("http://weibo.com/u/1"));
    QTest::newRow("address and port")
        << QStringLiteral("127.0.0.1:8080/typed") << QUrl(QStringLiteral("http://127.0.0.1:8080/typed"));
    QTest::newRow("http kept") << QStringLiteral("http://photo.weibo.com/x?a=1")
                               << QUrl(QStringLiteral("http://photo.weibo.com/x?a=1"));
    QTest::newRow("https kept") << QStringLiteral("https://weibo.com")
                                << QUrl(QStringLiteral("https://weibo.com"));
    QTest::newRow("about kept") << QStringLiteral("about:blank") << QUrl(QStringLiteral("about:blank"));
    QTest::newRow("empty stays empty") << QString() << QUrl();
  }

  void browser_address() {
    QFETCH(QString, text);
    QFETCH(QUrl, address);
    QCOMPARE(af::browser_address(text), address);
  }

  void typed_address_without_scheme_is_opened() {
    PageServer server;
    auto window = window_on_first_page(server);
    control<QLineEdit>(*window, QStringLiteral("编辑框_url"))->setText(server.typed("/typed"));
    control<QPushButton>(*window, QStringLiteral("按钮_打开"))->click();
    QTRY_COMPARE_WITH_TIMEOUT(window->browser()->title(), QStringLiteral("typed"), 30000);
    QCOMPARE(window->browser()->url(), QUrl(server.url("/typed")));
    // The box follows the page it shows: the address as the browser has it.
    QCOMPARE(control<QLineEdit>(*window, QStringLiteral("编辑框_url"))->text(),
             window->browser()->url().toString());
  }

  void start_page_without_scheme_is_opened() {
    PageServer server;
    af::WindowOptions options;
    options.home = server.typed("/typed");
    MainWindow window(options);
    QTRY_COMPARE_WITH_TIMEOUT(window.browser()->title(), QStringLiteral("typed"), 30000);
    QCOMPARE(window.browser()->url(), QUrl(server.url("/typed")));
  }

 private:
  QTemporaryDir home_;
};

QTEST_MAIN(LoginBrowserTest)
#include "login_browser_test.moc"
