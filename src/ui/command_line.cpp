// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/command_line.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/pacing.h"
#include "core/paths.h"
#include "sample_service.h"
#include "ui/desktop.h"

namespace af {

WindowCommandLine::WindowCommandLine(QCommandLineParser& parser)
    : home_({QStringLiteral("home")}, QStringLiteral("Start page of the login browser."),
            QStringLiteral("URL")),
      service_base_({QStringLiteral("service-base")}, QStringLiteral("Base address of the photo service."),
                    QStringLiteral("URL")),
      demo_({QStringLiteral("demo")}, QStringLiteral("Start the built-in sample photo service and point the "
                                                     "window at it (overrides --home and --service-base).")),
      pace_factor_({QStringLiteral("pace-factor")},
                   QStringLiteral("Divide the program's fixed waits by N (0: no waits)."),
                   QStringLiteral("N")),
      service_profile_(
          {QStringLiteral("service-profile")},
          QStringLiteral("With --demo: how the sample service answers, classic, today "
                         "(script-rendered home pages, login required, paged lists, rate limits) "
                         "or bad-day (today's, with this machine banned from the photo lists)."),
          QStringLiteral("NAME"), QStringLiteral("classic")),
      web_engine_log_({QString::fromLatin1(kWebEngineLogOption)},
                      QStringLiteral("Keep the web engine's own diagnostic output and the console "
                                     "messages of its pages on stderr.")),
      program_dir_({QStringLiteral("program-dir")},
                   QStringLiteral("Use DIR as the program directory (settings file, download records, "
                                  "cookies, browser data), made when missing."),
                   QStringLiteral("DIR")) {
  parser.addOptions(
      {home_, service_base_, demo_, pace_factor_, service_profile_, web_engine_log_, program_dir_});
}

int WindowCommandLine::read(const QCommandLineParser& parser) {
  // A text-only run has no window application; an option that swallowed "--help" as its
  // value leaves it here.
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
    std::fprintf(stderr, "--help and --version cannot be the value of another option\n");
    return 2;
  }
  const std::optional<afsample::ServiceProfile> profile =
      afsample::profile_named(parser.value(service_profile_).toStdString());
  if (!profile) {
    std::fprintf(stderr, "--service-profile is classic, today or bad-day\n");
    return 2;
  }
  if (parser.isSet(program_dir_)) {
    const std::string folder = parser.value(program_dir_).toStdString();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (!std::filesystem::is_directory(folder, error)) {
      std::fprintf(stderr, "--program-dir %s is not a folder\n", folder.c_str());
      return 2;
    }
    set_program_directory(std::filesystem::absolute(folder, error).string());
  }
  if (parser.isSet(home_)) options_.home = parser.value(home_);
  if (parser.isSet(service_base_)) options_.service_base = parser.value(service_base_);
  if (parser.isSet(pace_factor_)) {
    bool ok = false;
    const int factor = parser.value(pace_factor_).toInt(&ok);
    if (!ok) {
      std::fprintf(stderr, "--pace-factor needs a whole number\n");
      return 2;
    }
    options_.pacing = Pacing::shortened(factor);
  }
  if (parser.isSet(demo_)) {
    try {
      demo_service_ = std::make_unique<DemoService>();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "the demo service could not start: %s\n", e.what());
      return 1;
    }
    demo_service_->service().set_profile(*profile);
    options_ = demo_service_->window_options(options_);
  }
  return 0;
}

int leave_program(int status) {
  if (MainWindow::downloads_still_finishing() > 0) {
    std::fflush(nullptr);
    std::_Exit(status);
  }
  return status;
}

}  // namespace af
