// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The options of every program that opens the window (albumfetcher and the screenshot
// maker in tools/): the browser's start page, the photo service, the demo service and how
// it answers, the pace of the fixed waits, the program directory.
//
//   QCommandLineParser parser;
//   af::WindowCommandLine command_line(parser);
//   parser.process(app);
//   if (const int status = command_line.read(parser)) return status;
//   af::MainWindow window(command_line.window_options());
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <memory>

#include "ui/demo_mode.h"
#include "ui/main_window.h"

namespace af {

class WindowCommandLine {
 public:
  // Adds --home, --service-base, --demo, --pace-factor, --service-profile,
  // --web-engine-log and --program-dir.
  explicit WindowCommandLine(QCommandLineParser& parser);

  // Reads them once `parser` has processed the arguments, starting the demo service when
  // asked. --program-dir makes its folder when missing and becomes this process's program
  // directory (settings, records, cookies.txt, the browser's data). A wrong value (2) or a
  // demo service that cannot start (1) is told on stderr and its exit status returned; 0
  // when the window can open.
  int read(const QCommandLineParser& parser);

  const WindowOptions& window_options() const { return options_; }
  // The demo service, or null without --demo. It lives as long as this object, which
  // must outlive the window, whose jobs talk to it.
  DemoService* demo() const { return demo_service_.get(); }

 private:
  QCommandLineOption home_;
  QCommandLineOption service_base_;
  QCommandLineOption demo_;
  QCommandLineOption pace_factor_;
  QCommandLineOption service_profile_;
  QCommandLineOption web_engine_log_;  // read by quiet_web_engine before the parser runs
  QCommandLineOption program_dir_;
  WindowOptions options_;
  std::unique_ptr<DemoService> demo_service_;
};

// The exit of a program whose window is gone. An ended download whose worker is still
// held up by the disk is not waited for: the process ends at once, without tearing down
// what that worker may still touch. Its photo stays under a temporary name, which the
// next download of the album removes. Otherwise returns `status`.
int leave_program(int status);

}  // namespace af
