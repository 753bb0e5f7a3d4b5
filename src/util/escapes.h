// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

namespace af {

// Undoes backslash escapes and %uXXXX / %XX sequences of an album caption (GBK in and
// out; a character GBK lacks comes out as four-byte GB18030). A text that cannot be
// evaluated (a lone line feed, a final backslash) gives "".
std::string decode_escapes(const std::string& text);

// "0." followed by 15 digits, the last not 0: the __rnd value of a photo list request.
std::string random_fraction_text();

}  // namespace af
