#include "ui/desktop.h"

#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
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

std::unique_ptr<QCoreApplication> start_window_application(int& argc, char** argv) {
  QCoreApplication::setApplicationVersion(QString::fromLatin1(program_version()));
  if (asks_for_text_only(argc, argv)) {
    auto app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Album Fetcher"));
    return app;
  }
  // Before the web engine starts: as root it runs only with its sandbox off.
  const QString sandbox_note = switch_off_sandbox_when_root();
  if (!sandbox_note.isEmpty()) std::fprintf(stderr, "%s\n", qPrintable(sandbox_note));
  auto app = std::make_unique<QApplication>(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Album Fetcher"));
  use_chinese(*app);
  return app;
}

}  // namespace af
