#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "core/pacing.h"
#include "sample_service.h"
#include "ui/demo_mode.h"
#include "ui/main_window.h"
#include "ui/screenshots.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Album Fetcher"));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Downloads the photo albums of a Weibo user.\n"
      "\n"
      "Demo: albumfetcher --demo runs a small sample photo service inside the program on a\n"
      "free port of 127.0.0.1, so the whole job can be tried without any network:\n"
      "  1. On the login page, follow \"Log in\" and sign in with user demo, password demo\n"
      "     (one album of the sample user is listed only after logging in).\n"
      "  2. On the album page the user's home page is filled in already: click \"2：获取相册\".\n"
      "  3. Tick albums, click \"3：下载选中\"; pause, continue or end the download at will.\n"
      "     Photos go to the folder in the save box (the program directory by default)."));
  parser.addHelpOption();
  const QCommandLineOption home({QStringLiteral("home")}, QStringLiteral("Start page of the login browser."),
                                QStringLiteral("URL"));
  const QCommandLineOption service_base({QStringLiteral("service-base")},
                                        QStringLiteral("Base address of the photo service."),
                                        QStringLiteral("URL"));
  const QCommandLineOption demo({QStringLiteral("demo")},
                                QStringLiteral("Start the built-in sample photo service and point the "
                                               "window at it (overrides --home and --service-base)."));
  const QCommandLineOption pace_factor({QStringLiteral("pace-factor")},
                                       QStringLiteral("Divide the program's fixed waits by N (0: no waits)."),
                                       QStringLiteral("N"));
  const QCommandLineOption screenshot({QStringLiteral("screenshot")},
                                      QStringLiteral("Save a picture of every page into DIR, then quit "
                                                     "(with --demo: also the album list and a download)."),
                                      QStringLiteral("DIR"));
  const QCommandLineOption service_profile(
      {QStringLiteral("service-profile")},
      QStringLiteral("With --demo: how the sample service answers, classic or today (script-rendered "
                     "home pages, login required, paged lists, rate limits)."),
      QStringLiteral("NAME"), QStringLiteral("classic"));
  parser.addOptions({home, service_base, demo, pace_factor, screenshot, service_profile});
  parser.process(app);
  const QString profile_name = parser.value(service_profile);
  if (profile_name != QStringLiteral("classic") && profile_name != QStringLiteral("today")) {
    std::fprintf(stderr, "--service-profile is classic or today\n");
    return 2;
  }

  af::WindowOptions options;
  if (parser.isSet(home)) options.home = parser.value(home);
  if (parser.isSet(service_base)) options.service_base = parser.value(service_base);
  if (parser.isSet(pace_factor)) {
    bool ok = false;
    const int factor = parser.value(pace_factor).toInt(&ok);
    if (!ok) {
      std::fprintf(stderr, "--pace-factor needs a whole number\n");
      return 2;
    }
    options.pacing = af::Pacing::shortened(factor);
  }

  // The service must outlive the window, whose jobs talk to it.
  std::unique_ptr<af::DemoService> demo_service;
  if (parser.isSet(demo)) {
    try {
      demo_service = std::make_unique<af::DemoService>();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "the demo service could not start: %s\n", e.what());
      return 1;
    }
    if (profile_name == QStringLiteral("today"))
      demo_service->service().set_profile(afsample::ServiceProfile::Today);
    options = demo_service->window_options(options);
  }

  int code = 0;
  {
    af::MainWindow window(options);
    window.show();
    if (parser.isSet(screenshot))
      af::take_screenshots(window, parser.value(screenshot), demo_service != nullptr);
    code = app.exec();
  }
  // An ended download whose worker is still held up by the disk is not waited for: the
  // program ends without tearing down what that worker may still touch. Its photo stays
  // under a temporary name, which the next download of the album removes.
  if (af::MainWindow::downloads_still_finishing() > 0) {
    std::fflush(nullptr);
    std::_Exit(code);
  }
  return code;
}
