#include <QApplication>
#include <QCommandLineParser>

#include "ui/main_window.h"
#include "ui/screenshots.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Album Fetcher"));

  QCommandLineParser parser;
  parser.addHelpOption();
  const QCommandLineOption home({QStringLiteral("home")}, QStringLiteral("Start page of the login browser."),
                                QStringLiteral("URL"));
  const QCommandLineOption service_base({QStringLiteral("service-base")},
                                        QStringLiteral("Base address of the photo service."),
                                        QStringLiteral("URL"));
  const QCommandLineOption screenshot({QStringLiteral("screenshot")},
                                      QStringLiteral("Save a picture of every page into DIR, then quit."),
                                      QStringLiteral("DIR"));
  parser.addOptions({home, service_base, screenshot});
  parser.process(app);

  af::WindowOptions options;
  if (parser.isSet(home)) options.home = parser.value(home);
  if (parser.isSet(service_base)) options.service_base = parser.value(service_base);

  af::MainWindow window(options);
  window.show();
  if (parser.isSet(screenshot)) af::take_screenshots(window, parser.value(screenshot));
  return app.exec();
}
