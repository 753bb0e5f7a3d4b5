// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/codepage.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/ustring.h>

#include <cstring>
#include <memory>
#include <vector>

namespace af {
namespace {

// One RAII owner per ICU converter. Converters are not thread-safe, so each thread keeps
// its own, one per code page and direction, set up once and reset before each use: opening
// one costs more than converting a short text.
struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

enum class Direction { Decode, Encode };

UConverter* converter(const char* name, Direction direction) {
  struct Kept {
    const char* name;
    Direction direction;
    Converter converter;
  };
  thread_local std::vector<Kept> kept;
  for (Kept& k : kept)
    if (k.direction == direction && std::strcmp(k.name, name) == 0) {
      ucnv_reset(k.converter.get());
      return k.converter.get();
    }
  UErrorCode status = U_ZERO_ERROR;
  Converter c(ucnv_open(name, &status));
  if (U_FAILURE(status)) return nullptr;
  // Malformed input becomes U+FFFD; characters the code page lacks become "?".
  if (direction == Direction::Decode) {
    ucnv_setToUCallBack(c.get(), UCNV_TO_U_CALLBACK_SUBSTITUTE, nullptr, nullptr, nullptr, &status);
  } else {
    ucnv_setFromUCallBack(c.get(), UCNV_FROM_U_CALLBACK_SUBSTITUTE, nullptr, nullptr, nullptr, &status);
    status = U_ZERO_ERROR;
    ucnv_setSubstChars(c.get(), "?", 1, &status);
  }
  kept.push_back({name, direction, std::move(c)});
  return kept.back().converter.get();
}

// Bytes in `name` to UTF-16; malformed input becomes U+FFFD.
std::u16string decode(const char* name, std::string_view bytes) {
  if (bytes.empty()) return {};
  UConverter* c = converter(name, Direction::Decode);
  if (!c) return {};
  UErrorCode status = U_ZERO_ERROR;
  std::u16string out(bytes.size() + 1, u'\0');
  int32_t n = ucnv_toUChars(c, reinterpret_cast<UChar*>(out.data()),
                            static_cast<int32_t>(out.size()), bytes.data(),
                            static_cast<int32_t>(bytes.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.assign(static_cast<std::size_t>(n) + 1, u'\0');
    status = U_ZERO_ERROR;
    n = ucnv_toUChars(c, reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                      bytes.data(), static_cast<int32_t>(bytes.size()), &status);
  }
  if (U_FAILURE(status)) return {};
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// UTF-16 to bytes in `name`; characters the code page lacks become "?".
std::string encode(const char* name, std::u16string_view text) {
  if (text.empty()) return {};
  UConverter* c = converter(name, Direction::Encode);
  if (!c) return {};
  UErrorCode status = U_ZERO_ERROR;
  std::string out(text.size() * 4 + 1, '\0');
  int32_t n = ucnv_fromUChars(c, out.data(), static_cast<int32_t>(out.size()),
                              reinterpret_cast<const UChar*>(text.data()),
                              static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) return {};
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string cut_at_nul(std::string text) {
  auto pos = text.find('\0');
  if (pos != std::string::npos) text.resize(pos);
  return text;
}

// A lone surrogate has no code page form; make it U+FFFD so encoders never fail on it.
std::u16string repair_surrogates(std::u16string_view text) {
  std::u16string out(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    char16_t c = out[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < out.size() && out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF) {
        ++i;
        continue;
      }
      out[i] = 0xFFFD;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      out[i] = 0xFFFD;
    }
  }
  return out;
}

}  // namespace

std::string utf8_to_gbk(std::string_view bytes) {
  if (bytes.empty()) return {};
  return cut_at_nul(utf16_to_gbk(decode("UTF-8", bytes)));
}

std::string service_utf8_to_text(std::string_view bytes) {
  if (bytes.empty()) return {};
  return cut_at_nul(utf8_to_gb18030(bytes));
}

std::u16string gbk_to_utf16(std::string_view gbk) { return decode("GB18030", gbk); }

std::string utf16_to_gbk(std::u16string_view text) {
  // "windows-936" is ICU's name for code page 936 (GBK with the euro sign at 0x80).
  return encode("windows-936", repair_surrogates(text));
}

std::string utf16_to_gb18030(std::u16string_view text) {
  return encode("GB18030", repair_surrogates(text));
}

std::string code_point_to_gb18030(char32_t code_point) {
  std::u16string units;
  if (code_point >= 0x10000 && code_point <= 0x10FFFF) {
    char32_t v = code_point - 0x10000;
    units.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
    units.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
  } else {
    units.push_back(static_cast<char16_t>(code_point));
  }
  return utf16_to_gb18030(units);
}

std::string gbk_to_utf8(std::string_view gbk) { return encode("UTF-8", gbk_to_utf16(gbk)); }

std::string utf8_to_gb18030(std::string_view utf8) { return encode("GB18030", decode("UTF-8", utf8)); }

std::string G(std::string_view utf8) { return utf8_to_gbk(utf8); }

}  // namespace af
