// SPDX-License-Identifier: GPL-3.0-or-later
// albumfetcher-screenshots: pictures of the window for the documentation. It opens the
// window with the program's own options (usually --demo), saves a PNG of every page into
// the folder given, and quits.
//
//   albumfetcher-screenshots --demo docs
#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>

#include "screenshots.h"
#include "ui/command_line.h"
#include "ui/desktop.h"
#include "ui/main_window.h"

int main(int argc, char* argv[]) {
  const auto app = af::start_window_application(argc, argv);
  if (!app) return 1;  // no display: said on stderr

  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Saves a picture of every page of the window into FOLDER, then quits (with --demo: "
                     "also the album list and a download)."));
  parser.addHelpOption();
  af::WindowCommandLine command_line(parser);
  parser.addPositionalArgument(QStringLiteral("FOLDER"), QStringLiteral("Where the PNG files go."));
  parser.process(*app);
  if (parser.positionalArguments().size() != 1) {
    std::fprintf(stderr, "one FOLDER is needed\n");
    return 2;
  }
  if (const int status = command_line.read(parser)) return status;

  int code = 0;
  {
    af::MainWindow window(command_line.window_options());
    window.show();
    af::take_screenshots(window, parser.positionalArguments().front(), command_line.demo() != nullptr);
    code = app->exec();
  }
  return af::leave_program(code);
}
