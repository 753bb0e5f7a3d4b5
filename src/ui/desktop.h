// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the program sets up around its window before the window exists: the web engine's
// sandbox for a program run as root, and Chinese for every standard dialog, button and
// calendar whatever the machine's locale.
#include <QString>
#include <memory>

class QApplication;
class QCoreApplication;

namespace af {

// The web engine refuses to start as root while its sandbox is on. When `is_root`, the
// sandbox is switched off for this process (before the engine starts) and the line to
// tell the operator is returned; otherwise nothing changes and "" is returned.
QString switch_off_sandbox_when_root(bool is_root);
// The same for the process's own user.
QString switch_off_sandbox_when_root();

// Qt's own Chinese translations (standard buttons, the folder chooser, the browser's
// menus) installed into `app`, and Chinese as the default locale (calendars, dates).
// Returns how many translation catalogues were found and installed.
int use_chinese(QCoreApplication& app);

// Whether the arguments ask for a text only (-h, --help, --help-all, -v, --version before
// any "--"): such a run prints it and ends, without a window.
bool asks_for_text_only(int argc, char** argv);
// The option that keeps the web engine's own diagnostic output (GL, sandbox, start-up
// parameters) and the console messages of its pages on stderr; without it that output is
// switched off, and the program's own lines stay.
inline constexpr const char* kWebEngineLogOption = "web-engine-log";
// Unless `argv` holds --web-engine-log, switches Chromium's logging off (before the
// application exists; the flags are added to a QTWEBENGINE_CHROMIUM_FLAGS of the user's
// own unless it names a logging flag itself) and returns true: start_window_application
// then silences Qt's report of the engine.
bool quiet_web_engine(int argc, char** argv);
// Whether the last quiet_web_engine found --web-engine-log: false until then, so the
// console messages of pages stay off by default (BrowserPage).
bool web_engine_output_shown();
// Keeps the engine's notes that come through Qt's log in no category of their own
// ("Sandboxing disabled by user.": the program says that in its own words) off stderr;
// every other message goes on to the handler that was in place. Installed once.
void drop_web_engine_notes();

// Whether there is a display for the window: DISPLAY or WAYLAND_DISPLAY set, or a Qt
// platform named (QT_QPA_PLATFORM, or -platform among the arguments).
bool has_display(int argc, char** argv);

// The application of a program that opens the window (the sandbox line, if any, on
// stderr; the program's name and version; Chinese). When the arguments ask for a text
// only, a plain core application: the text then needs no display and comes without the
// sandbox line. Without a display (Qt would abort), one line on stderr says so and null
// is returned: the program then ends with status 1. `argc` and `argv` must outlive it.
std::unique_ptr<QCoreApplication> start_window_application(int& argc, char** argv);

}  // namespace af
