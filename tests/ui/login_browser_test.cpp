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
          "</body></html>",
          "text/html");
    });
    server_.Get("/second", [this](const httplib::Request& request, httplib::Response& response) {
      record(request.path);
      response.set_content("<html><head><title>second</title></head><body>second</body></html>", "text/html");
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

 private:
  QTemporaryDir home_;
};

QTEST_MAIN(LoginBrowserTest)
#include "login_browser_test.moc"
