// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/desktop.h"

#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/version.h"

namespace af {

QString switch_off_sandbox_when_root(bool is_root) {
  if (!is_root) return {};
  setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
  return QStringLiteral("albumfetcher: running as root, the web engine's sandbox is switched off");
}

QString switch_off_sandbox_when_root() { return switch_off_sandbox_when_root(geteuid() == 0); }

int use_chinese(QCoreApplication& app) {
  const QLocale chinese(QLocale::Chinese, QLocale::China);
  QLocale::setDefault(chinese);
  const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  int installed = 0;
  for (const char* catalogue : {"qtbase", "qtwebengine"}) {
    auto* translator = new QTranslator(&app);
    if (translator->load(chinese, QString::fromLatin1(catalogue), QStringLiteral("_"), folder) &&
        QCoreApplication::installTranslator(translator)) {
      ++installed;
    } else {
      delete translator;
    }
  }
  return installed;
}

bool asks_for_text_only(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") return false;
    if (arg == "-h" || arg == "--help" || arg == "--help-all" || arg == "-v" || arg == "--version")
      return true;
  }
  return false;
}

namespace {

bool engine_output_shown = false;
QtMessageHandler next_handler = nullptr;

void drop_engine_note(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtInfoMsg && message == QLatin1String("Sandboxing disabled by user.")) return;
  next_handler(type, context, message);
}

bool set_in_environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

bool quiet_web_engine(int argc, char** argv) {
  const std::string wanted = std::string("--") + kWebEngineLogOption;
  engine_output_shown = false;
  for (int i = 1; i < argc; ++i)
    if (wanted == argv[i]) engine_output_shown = true;
  if (engine_output_shown) return false;
  // Chromium's own logging; Qt's start-up report of the engine follows once the
  // application exists.
  const char* own = std::getenv("QTWEBENGINE_CHROMIUM_FLAGS");
  std::string flags = own == nullptr ? "" : own;
  if (flags.find("-logging") == std::string::npos && flags.find("--log-level") == std::string::npos)
    flags += std::string(flags.empty() ? "" : " ") + "--disable-logging --log-level=3";
  setenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.c_str(), 1);
  return true;
}

bool web_engine_output_shown() { return engine_output_shown; }

void drop_web_engine_notes() {
  if (next_handler == nullptr) next_handler = qInstallMessageHandler(drop_engine_note);
}

bool has_display(int argc, char** argv) {
  if (set_in_environment("DISPLAY") || set_in_environment("WAYLAND_DISPLAY") ||
      set_in_environment("QT_QPA_PLATFORM"))
    return true;
  for (int i = 1; i + 1 < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") return false;
    if (arg == "-platform" || arg == "--platform") return true;
  }
  return false;
}

std::unique_ptr<QCoreApplication> start_window_application(int& argc, char** argv) {
  QCoreApplication::setApplicationVersion(QString::fromLatin1(program_version()));
  if (asks_for_text_only(argc, argv)) {
    auto app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Album Fetcher"));
    return app;
  }
  if (!has_display(argc, argv)) {
    std::fprintf(stderr,
                 "albumfetcher: no display to open the window on (DISPLAY is not set); "
                 "albumfetcher-cli works without one\n");
    return nullptr;
  }
  const bool quiet = quiet_web_engine(argc, argv);
  if (quiet) drop_web_engine_notes();
  // Before the web engine starts: as root it runs only with its sandbox off.
  const QString sandbox_note = switch_off_sandbox_when_root();
  if (!sandbox_note.isEmpty()) std::fprintf(stderr, "%s\n", qPrintable(sandbox_note));
  auto app = std::make_unique<QApplication>(argc, argv);
  // The engine's report of its GL and sandbox set-up; QT_LOGGING_RULES still wins.
  if (quiet) QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext=false"));
  QApplication::setApplicationName(QStringLiteral("Album Fetcher"));
  use_chinese(*app);
  return app;
}

}  // namespace af
