// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Code page conversions (ICU). Texts inside the engine are GBK; edges decode them as
// GB18030, a superset whose bytes equal GBK's for every GBK character.
#include <string>
#include <string_view>

namespace af {

// UTF-8 bytes to GBK: invalid UTF-8 becomes U+FFFD, characters code page 936 lacks become
// "?", and the result is cut at its first NUL byte. For the program's own texts.
std::string utf8_to_gbk(std::string_view bytes);

// UTF-8 bytes from the service to engine text: every character kept, GBK characters as
// their GBK bytes, the others (emoji, Hangul, rare ideographs) as four-byte GB18030;
// invalid UTF-8 becomes U+FFFD, and the result is cut at its first NUL byte.
std::string service_utf8_to_text(std::string_view bytes);

// GBK (read as GB18030, so four-byte sequences survive) to UTF-16 and back.
std::u16string gbk_to_utf16(std::string_view gbk);
// UTF-16 to code page 936; characters it lacks become "?".
std::string utf16_to_gbk(std::u16string_view text);
// UTF-16 to GB18030 (every character has bytes; used for JSON \u escapes).
std::string utf16_to_gb18030(std::u16string_view text);
// One code point to its GB18030 bytes (two for GBK characters, four for the others).
std::string code_point_to_gb18030(char32_t code_point);

// GBK/GB18030 to UTF-8 and back, for file names, terminals and QString edges.
std::string gbk_to_utf8(std::string_view gbk);
std::string utf8_to_gb18030(std::string_view utf8);

// A literal written in UTF-8 in the source, as GBK bytes (for the system's own texts).
std::string G(std::string_view utf8);

}  // namespace af
