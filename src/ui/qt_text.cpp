// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/qt_text.h"

#include "util/codepage.h"

namespace af {

QString from_gbk(std::string_view gbk) { return QString::fromStdU16String(gbk_to_utf16(gbk)); }

std::string to_gbk(const QString& text) { return utf16_to_gb18030(text.toStdU16String()); }

QString trim_blanks(const QString& text) {
  auto blank = [](QChar c) { return c == u' ' || c == QChar(0x3000); };
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && blank(text[begin])) ++begin;
  while (end > begin && blank(text[end - 1])) --end;
  return text.mid(begin, end - begin);
}

QString folder_path_form(const QString& path) {
  auto separator = [](QChar c) { return c == u'/' || c == u'\\'; };
  auto is_root = [&](qsizetype length) {
    if (length == 1) return separator(path[0]);
    return length == 3 && path[0].isLetter() && path[1] == u':' && separator(path[2]);
  };
  qsizetype length = path.size();
  while (length > 1 && separator(path[length - 1]) && !is_root(length)) --length;
  return path.left(length);
}

}  // namespace af
