// SPDX-License-Identifier: GPL-3.0-or-later
// The options of the programs that open the window: what each gives the window, the
// demo service taking the place of the addresses, the program directory, and the wrong
// values that end the program with status 2.
#include "ui/command_line.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>

#include "core/paths.h"
#include "sample_service.h"

class CommandLineTest : public QObject {
  Q_OBJECT

 private slots:
  void read_gives_the_window_its_options_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("demo");
    QTest::addColumn<QString>("home");  // a prefix of the browser's start page
    QTest::addColumn<QString>("service_base");
    QTest::addColumn<int>("after_photo_ms");

    const QString demo_base = QStringLiteral("http://127.0.0.1:");
    QTest::newRow("nothing") << QStringList{} << 0 << false << QStringLiteral("http://weibo.com")
                             << QStringLiteral("http://photo.weibo.com") << 50;
    QTest::newRow("home and service")
        << QStringList{QStringLiteral("--home"), QStringLiteral("http://127.0.0.1:9/a"),
                       QStringLiteral("--service-base"), QStringLiteral("http://127.0.0.1:8")}
        << 0 << false << QStringLiteral("http://127.0.0.1:9/a") << QStringLiteral("http://127.0.0.1:8") << 50;
    QTest::newRow("pace divided") << QStringList{QStringLiteral("--pace-factor"), QStringLiteral("10")} << 0
                                  << false << QStringLiteral("http://weibo.com")
                                  << QStringLiteral("http://photo.weibo.com") << 5;
    QTest::newRow("no waits") << QStringList{QStringLiteral("--pace-factor"), QStringLiteral("0")} << 0
                              << false << QStringLiteral("http://weibo.com")
                              << QStringLiteral("http://photo.weibo.com") << 0;
    QTest::newRow("pace not a number") << QStringList{QStringLiteral("--pace-factor"), QStringLiteral("ten")}
                                       << 2 << false << QString() << QString() << 0;
    QTest::newRow("profile unknown") << QStringList{QStringLiteral("--service-profile"),
                                                    QStringLiteral("modern")}
                                     << 2 << false << QString() << QString() << 0;
    QTest::newRow("profile without demo")
        << QStringList{QStringLiteral("--service-profile"), QStringLiteral("today")} << 0 << false
        << QStringLiteral("http://weibo.com") << QStringLiteral("http://photo.weibo.com") << 50;
    QTest::newRow("demo over addresses") << QStringList{QStringLiteral("--home"),
                                                        QStringLiteral("http://127.0.0.1:9/a"),
                                                        QStringLiteral("--service-base"),
                                                        QStringLiteral("http://127.0.0.1:8"),
                                                        QStringLiteral("--demo"),
                                                        QStringLiteral("--pace-factor"),
                                                        QStringLiteral("2")}
                                         << 0 << true << demo_base << demo_base << 25;
    QTest::newRow("demo today") << QStringList{QStringLiteral("--demo"), QStringLiteral("--service-profile"),
                                               QStringLiteral("today")}
                                << 0 << true << demo_base << demo_base << 50;
  }

  void read_gives_the_window_its_options() {
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(bool, demo);
    QFETCH(QString, home);
    QFETCH(QString, service_base);
    QFETCH(int, after_photo_ms);

    QCommandLineParser parser;
    af::WindowCommandLine command_line(parser);
    QVERIFY(parser.parse(QStringList{QStringLiteral("albumfetcher")} + arguments));
    QCOMPARE(command_line.read(parser), status);
    if (status != 0) return;
    QCOMPARE(command_line.demo() != nullptr, demo);
    const af::WindowOptions& options = command_line.window_options();
    if (demo) {
      QVERIFY2(options.home.startsWith(home), qPrintable(options.home));
      QVERIFY2(options.service_base.startsWith(service_base), qPrintable(options.service_base));
      // The browser starts on the service's own index page and the sample user is typed in.
      QCOMPARE(options.home, options.service_base + QLatin1Char('/'));
      QVERIFY(options.home_page_box.startsWith(options.service_base + QLatin1Char('/')));
      QCOMPARE(command_line.demo()->service().profile(), arguments.contains(QStringLiteral("today"))
                                                             ? afsample::ServiceProfile::Today
                                                             : afsample::ServiceProfile::Classic);
    } else {
      QCOMPARE(options.home, home);
      QCOMPARE(options.service_base, service_base);
      QVERIFY(options.home_page_box.isEmpty());
    }
    QCOMPARE(options.pacing.after_photo, std::chrono::milliseconds(after_photo_ms));
  }

  // --program-dir: the folder is made when missing and becomes the program directory; a
  // path that cannot be a folder ends the program with status 2.
  void program_dir_data() {
    QTest::addColumn<QString>("given");  // under a scratch folder that holds the file "f"
    QTest::addColumn<int>("status");
    QTest::newRow("made when missing") << QStringLiteral("new/program") << 0;
    QTest::newRow("a file") << QStringLiteral("f") << 2;
    QTest::newRow("inside a file") << QStringLiteral("f/program") << 2;
  }

  void program_dir() {
    QFETCH(QString, given);
    QFETCH(int, status);
    QTemporaryDir scratch;
    QFile(scratch.filePath(QStringLiteral("f"))).open(QIODevice::WriteOnly);
    const QString folder = scratch.filePath(given);
    const std::string before = af::program_directory();

    QCommandLineParser parser;
    af::WindowCommandLine command_line(parser);
    QVERIFY(parser.parse({QStringLiteral("albumfetcher"), QStringLiteral("--program-dir"), folder}));
    QCOMPARE(command_line.read(parser), status);
    QVERIFY(QFileInfo(folder).isDir() == (status == 0));
    QCOMPARE(af::program_directory(), status == 0 ? folder.toStdString() : before);
    af::set_program_directory({});
  }
};

QTEST_MAIN(CommandLineTest)
#include "command_line_test.moc"
