// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Pictures of the window for the documentation: each page at the creation size and the
// album page at 1400 x 900, saved as PNG files into a folder; then the program quits.
// Nothing modal may stop the pictures: the window's messages go to stderr instead.
// With the demo service, the album page is shown with the sample user's album list (covers
// included), albums-loading.png shows that list while it comes, and demo-download.png shows
// a download under way.
#include <QString>

namespace af {

class MainWindow;

// Schedules the pictures on the event loop (the browser gets a few seconds to draw its
// page first) and quits the application when they are saved.
void take_screenshots(MainWindow& window, const QString& folder, bool with_demo = false);

}  // namespace af
