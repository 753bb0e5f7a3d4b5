// SPDX-License-Identifier: GPL-3.0-or-later
// The login browser and fetch_page share their cookies both ways, and persistent ones
// survive a restart, through the real WebEngine cookie store.
#include <QNetworkCookie>
#include <QTemporaryDir>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QtTest>
#include <filesystem>
#include <memory>

#include "core/paths.h"
#include "http/cookie_store.h"
#include "http/fetch.h"
#include "http/raw_server.h"
#include "ui/cookie_bridge.h"

using aftest::http_answer;
using aftest::RawRequest;
using aftest::RawServer;

namespace {

std::string page(const std::string& script) {
  return "<html><body><script>" + script + "</script>done</body></html>";
}

std::string answer(const RawRequest& r) {
  const std::string line = r.request_line();
  auto html = [](const std::string& headers, const std::string& body) {
    return http_answer("200 OK", "Content-Type: text/html\r\n" + headers, body);
  };
  if (line.find(" /login ") != std::string::npos)
    return html("Set-Cookie: hid=secret; Path=/; HttpOnly\r\n", page("document.cookie = 'js=visible; path=/';"));
  if (line.find(" /give ") != std::string::npos) return html("Set-Cookie: srv=3; Path=/\r\n", "given");
  if (line.find(" /persist ") != std::string::npos)
    return html("Set-Cookie: pers=1; Path=/; Max-Age=86400\r\nSet-Cookie: sess=1; Path=/\r\n", "kept?");
  return html("", page(""));
}

bool has_cookie(const std::string& name) {
  for (const af::Cookie& c : af::CookieStore::instance().all_cookies())
    if (c.name == name) return true;
  return false;
}

}  // namespace

class CookieBridgeTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    af::set_program_directory(dir_.path().toStdString());
    af::CookieStore::instance().clear();
    server_ = std::make_unique<RawServer>(answer);
    profile_ = new QWebEngineProfile(this);  // off the record: nothing of it stays on disk
    page_ = new QWebEnginePage(profile_, this);
    bridge_ = new af::CookieBridge(profile_->cookieStore(), this);
  }

  void cleanupTestCase() {
    delete bridge_;
    delete page_;
    af::CookieStore::instance().clear();
  }

  void browser_cookies_go_with_fetch_page() {
    QVERIFY(load(page_, "/login"));
    QTRY_VERIFY_WITH_TIMEOUT(has_cookie("hid") && has_cookie("js"), 15000);
    af::fetch_page(server_->base() + "/echo");
    auto cookie = server_->last().values("Cookie");
    QCOMPARE(cookie.size(), std::size_t(1));
    QVERIFY(cookie[0].find("hid=secret") != std::string::npos);
    QVERIFY(cookie[0].find("js=visible") != std::string::npos);
  }

  void fetch_page_cookies_reach_the_browser() {
    QVERIFY(load(page_, "/blank"));
    QVERIFY(!script_cookies(page_).contains("srv=3"));
    af::fetch_page(server_->base() + "/give");
    QTRY_VERIFY_WITH_TIMEOUT(script_cookies(page_).contains("srv=3"), 15000);
    // An HttpOnly cookie of the browser stays hidden from script, as before.
    QVERIFY(!script_cookies(page_).contains("hid="));
  }

  void restart_keeps_persistent_cookies_only() {
    af::fetch_page(server_->base() + "/persist");
    QVERIFY(has_cookie("pers") && has_cookie("sess"));
    delete bridge_;  // saves on the way out, as the program does at its end
    bridge_ = nullptr;
    QVERIFY(QFileInfo::exists(dir_.filePath("cookies.txt")));
    auto mode = std::filesystem::status(dir_.filePath("cookies.txt").toStdString()).permissions();
    QVERIFY(mode == (std::filesystem::perms::owner_read | std::filesystem::perms::owner_write));

    // A new process: an empty store, loaded from the file, and a fresh browser profile.
    af::CookieStore::instance().clear();
    af::CookieStore::instance().load();
    af::fetch_page(server_->base() + "/echo");
    auto cookie = server_->last().values("Cookie");
    QCOMPARE(cookie.size(), std::size_t(1));
    QVERIFY(cookie[0].find("pers=1") != std::string::npos);
    QVERIFY(cookie[0].find("sess=") == std::string::npos);
    QVERIFY(cookie[0].find("hid=") == std::string::npos);

    auto* profile = new QWebEngineProfile(this);
    auto* page = new QWebEnginePage(profile, this);
    bridge_ = new af::CookieBridge(profile->cookieStore(), this);
    QVERIFY(load(page, "/blank"));
    QTRY_VERIFY_WITH_TIMEOUT(script_cookies(page).contains("pers=1"), 15000);
    QVERIFY(!script_cookies(page).contains("sess=1"));
    delete bridge_;
    bridge_ = nullptr;
    delete page;
  }

 private:
  bool load(QWebEnginePage* page, const std::string& path) {
    QSignalSpy finished(page, &QWebEnginePage::loadFinished);
    page->load(QUrl(QString::fromStdString(server_->base() + path)));
    return finished.wait(20000) && finished.first().first().toBool();
  }

  QString script_cookies(QWebEnginePage* page) {
    QString result;
    bool done = false;
    page->runJavaScript(QStringLiteral("document.cookie"), [&](const QVariant& v) {
      result = v.toString();
      done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 10000)) return QStringLiteral("(no answer)");
    return result;
  }

  QTemporaryDir dir_;
  std::unique_ptr<RawServer> server_;
  QWebEngineProfile* profile_ = nullptr;
  QWebEnginePage* page_ = nullptr;
  af::CookieBridge* bridge_ = nullptr;
};

QTEST_MAIN(CookieBridgeTest)
#include "cookie_bridge_test.moc"
