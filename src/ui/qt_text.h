// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The GUI edge of the engine's texts: GBK bytes (read as GB18030) to and from QString.
#include <QString>
#include <string>
#include <string_view>

namespace af {

QString from_gbk(std::string_view gbk);
// Engine text: GBK bytes for GBK characters, four-byte GB18030 for the others, so an
// album name with an emoji reaches the download whole.
std::string to_gbk(const QString& text);

// Removes ASCII spaces and full-width spaces (U+3000) from both ends, as the engine's
// trim does for GBK texts; tabs and line ends stay.
QString trim_blanks(const QString& text);

// A folder path without trailing separators, except a root ("/", "C:/", "C:\"), which
// keeps its one separator.
QString folder_path_form(const QString& path);

}  // namespace af
