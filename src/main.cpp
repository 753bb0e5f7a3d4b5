// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>
#include <QCommandLineParser>

#include "ui/command_line.h"
#include "ui/desktop.h"
#include "ui/main_window.h"

int main(int argc, char* argv[]) {
  const auto app = af::start_window_application(argc, argv);
  if (!app) return 1;  // no display: said on stderr

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
  parser.addVersionOption();
  af::WindowCommandLine command_line(parser);
  parser.process(*app);
  if (const int status = command_line.read(parser)) return status;

  int code = 0;
  {
    af::MainWindow window(command_line.window_options());
    window.show();
    code = app->exec();
  }
  return af::leave_program(code);
}
