// SPDX-License-Identifier: GPL-3.0-or-later
// A login made in the window's own browser counts for "2：获取相册": the sample service's
// login form is filled and sent in the real browser, and the albums that need the login
// are listed afterwards without the program asking for anything.
#include <QDateTime>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "core/paths.h"
#include "http/cookie_store.h"
#include "sample_service.h"
#include "ui/album_table.h"
#include "window_support.h"

using af::MainWindow;
using af::PresetDialogs;
using af::test::control;
using af::test::label_text;

namespace {

constexpr int kWait = 30000;

QStringList album_names(MainWindow& window) {
  QStringList names;
  for (int row = 0; row < window.album_table()->rowCount(); ++row)
    names << window.album_table()->model()->index(row, 2).data().toString();
  return names;
}

bool store_has(const char* name, bool lasting = false) {
  for (const af::Cookie& cookie : af::CookieStore::instance().all_cookies())
    if (cookie.name == name && (!lasting || !cookie.is_session())) return true;
  return false;
}

}  // namespace

class LoginAlbumsTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir home_;

 private slots:
  void initTestCase() {
    QVERIFY(home_.isValid());
    af::set_program_directory(home_.path().toStdString());
    af::CookieStore::instance().clear();
  }

  void login_in_the_browser_unlocks_albums() {
    afsample::SampleService service;
    afsample::SampleUser user = afsample::make_user("8000000001", "/u/8000000001", "Locked and open");
    user.albums.push_back(afsample::make_album("3558936330000001", "open", 2));
    afsample::SampleAlbum locked = afsample::make_album("3558936330000002", "locked", 3);
    locked.requires_login = true;
    user.albums.push_back(locked);
    service.add_user(user);

    af::WindowOptions options;
    options.home = QString::fromStdString(service.base_url() + "/login");
    options.service_base = QString::fromStdString(service.base_url());
    options.pacing = af::Pacing::shortened(0);
    MainWindow window(options);
    PresetDialogs* dialogs = af::test::install_preset_dialogs(window);
    window.show();
    QSignalSpy loaded(window.browser(), &QWebEngineView::loadFinished);
    QTRY_VERIFY_WITH_TIMEOUT(loaded.count() >= 1, kWait);
    QCOMPARE(window.browser()->title(), QStringLiteral("Log in"));

    auto list = [&] {
      const int lists_before = window.log_box()->toPlainText().count(QStringLiteral("-----获取完毕"));
      control<QLineEdit>(window, QStringLiteral("编辑框_号码"))
          ->setText(QString::fromStdString(service.base_url() + "/u/8000000001"));
      control<QPushButton>(window, QStringLiteral("按钮_获取相册封面"))->click();
      QTRY_VERIFY_WITH_TIMEOUT(
          window.log_box()->toPlainText().count(QStringLiteral("-----获取完毕")) == lists_before + 1, kWait);
    };

    // Before the login only the open album is listed.
    list();
    QCOMPARE(album_names(window), QStringList{QStringLiteral("open")});

    // The operator logs in on the service's own page, in the window's browser.
    window.browser()->page()->runJavaScript(
        QStringLiteral("document.getElementById('username').value = 'demo';"
                       "document.getElementById('password').value = 'demo';"
                       "document.getElementById('submit').click();"));
    QTRY_COMPARE_WITH_TIMEOUT(window.browser()->title(), QStringLiteral("Logged in"), kWait);
    QTRY_VERIFY_WITH_TIMEOUT(store_has(afsample::SampleService::kSessionCookie), kWait);
    // A lasting cookie, which cookies.txt keeps for the next start (session cookies it drops).
    QVERIFY(store_has(afsample::SampleService::kSessionCookie, true));

    list();
    QCOMPARE(album_names(window), (QStringList{QStringLiteral("open"), QStringLiteral("locked")}));
    // The album list request carried the browser's session cookie.
    const auto requests = service.requests_to("/albums/get_all");
    QVERIFY(!requests.empty());
    QVERIFY(requests.back().header("Cookie").find(std::string(afsample::SampleService::kSessionCookie) +
                                                  "=") != std::string::npos);
    // Nothing was asked of the operator.
    QVERIFY(dialogs->messages().empty());
    QVERIFY(dialogs->folder_questions().empty());
  }

  void cookie_store_saved_when_the_window_goes() {
    const QString file = QString::fromStdString(af::program_file("cookies.txt"));
    QFile::remove(file);
    {
      af::WindowOptions options;
      options.home = QStringLiteral("about:blank");
      MainWindow window(options);
      af::Cookie kept;
      kept.domain = "127.0.0.1";
      kept.name = "kept";
      kept.value = "yes";
      kept.expires = QDateTime::currentSecsSinceEpoch() + 86400;
      af::CookieStore::instance().set_cookie(kept);
    }
    QFile saved(file);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QVERIFY(saved.readAll().contains("\tkept\tyes"));
    QCOMPARE(saved.permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
  }
};

QTEST_MAIN(LoginAlbumsTest)
#include "login_albums_test.moc"
