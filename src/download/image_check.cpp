// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/image_check.h"

#include <cstdint>

#include "http/fetch.h"
#include "util/codepage.h"
#include "util/text.h"

namespace af {

namespace {

unsigned at(std::string_view b, std::size_t i) { return static_cast<unsigned char>(b[i]); }

// Segments from the start marker on; entropy-coded data after each scan header runs to the
// next marker that is neither a stuffed 0xFF nor a restart marker. Complete at the end
// marker, once a scan was seen.
bool complete_jpeg(std::string_view b) {
  std::size_t i = 2;
  bool scanned = false;
  while (i + 1 < b.size()) {
    if (at(b, i) != 0xFF) return false;
    if (at(b, i + 1) == 0xFF) {  // fill byte before a marker
      ++i;
      continue;
    }
    const unsigned marker = at(b, i + 1);
    if (marker == 0xD9) return scanned;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      i += 2;
      continue;
    }
    if (i + 4 > b.size()) return false;
    const std::size_t length = (at(b, i + 2) << 8) | at(b, i + 3);
    if (length < 2 || i + 2 + length > b.size()) return false;
    i += 2 + length;
    if (marker != 0xDA) continue;
    scanned = true;
    for (;; ++i) {
      if (i + 1 >= b.size()) return false;
      if (at(b, i) != 0xFF) continue;
      const unsigned next = at(b, i + 1);
      if (next != 0x00 && !(next >= 0xD0 && next <= 0xD7)) break;
    }
  }
  return false;
}

// Header, logical screen (and global colour table), then extensions and images, each a
// chain of sub-blocks closed by a zero byte, up to the trailer.
bool complete_gif(std::string_view b) {
  if (b.size() < 13) return false;
  std::size_t i = 13;
  if (at(b, 10) & 0x80) i += 3u * (1u << ((at(b, 10) & 7) + 1));
  const auto skip_sub_blocks = [&] {
    while (i < b.size() && at(b, i) != 0) i += at(b, i) + 1;
    if (i >= b.size()) return false;
    ++i;
    return true;
  };
  bool image = false;
  while (i < b.size()) {
    const unsigned kind = at(b, i);
    if (kind == 0x3B) return image;
    if (kind == 0x21) {
      i += 2;
      if (!skip_sub_blocks()) return false;
    } else if (kind == 0x2C) {
      if (i + 10 > b.size()) return false;
      const unsigned flags = at(b, i + 9);
      i += 10;
      if (flags & 0x80) i += 3u * (1u << ((flags & 7) + 1));
      ++i;  // LZW minimum code size
      if (!skip_sub_blocks()) return false;
      image = true;
    } else {
      return false;
    }
  }
  return false;
}

// Chunks (length, type, data, CRC) after the signature, up to the end chunk.
bool complete_png(std::string_view b) {
  std::size_t i = 8;
  while (i + 12 <= b.size()) {
    const std::uint64_t length =
        (std::uint64_t{at(b, i)} << 24) | (at(b, i + 1) << 16) | (at(b, i + 2) << 8) | at(b, i + 3);
    if (length > 0x7FFFFFFFu) return false;
    if (b.substr(i + 4, 4) == "IEND") return true;
    i += 12 + length;
  }
  return false;
}

// The RIFF header's own length.
bool complete_webp(std::string_view b) {
  if (b.size() < 12) return false;
  const std::uint64_t length =
      std::uint64_t{at(b, 4)} | (at(b, 5) << 8) | (at(b, 6) << 16) | (std::uint64_t{at(b, 7)} << 24);
  return length >= 4 && b.size() >= 8 + length;
}

std::string_view kind_name(ImageKind kind) {
  switch (kind) {
    case ImageKind::Jpeg:
      return "JPEG";
    case ImageKind::Gif:
      return "GIF";
    case ImageKind::Png:
      return "PNG";
    case ImageKind::Webp:
      return "WebP";
    case ImageKind::None:
      break;
  }
  return {};
}

std::string_view skip_blanks(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  while (!text.empty() &&
         (text.front() == ' ' || text.front() == '\t' || text.front() == '\r' || text.front() == '\n'))
    text.remove_prefix(1);
  return text;
}

// A page that asks the visitor to log in (the service's login and visitor pages, in UTF-8
// or GBK).
bool looks_like_login_page(std::string_view page) {
  static const std::string gbk = G("登录");
  const std::string lower = lower_text(page.substr(0, 256 * 1024));
  return lower.find("type=\"password\"") != std::string::npos ||
         lower.find("passport") != std::string::npos || lower.find("login") != std::string::npos ||
         lower.find("visitor") != std::string::npos || page.find("登录") != std::string_view::npos ||
         page.find(gbk) != std::string_view::npos;
}

}  // namespace

ImageKind image_kind(std::string_view b) {
  if (b.size() >= 3 && at(b, 0) == 0xFF && at(b, 1) == 0xD8 && at(b, 2) == 0xFF) return ImageKind::Jpeg;
  if (b.starts_with("GIF87a") || b.starts_with("GIF89a")) return ImageKind::Gif;
  if (b.starts_with("\x89PNG\r\n\x1A\n")) return ImageKind::Png;
  if (b.size() >= 12 && b.starts_with("RIFF") && b.substr(8, 4) == "WEBP") return ImageKind::Webp;
  return ImageKind::None;
}

bool is_complete_image(std::string_view b) {
  switch (image_kind(b)) {
    case ImageKind::Jpeg:
      return complete_jpeg(b);
    case ImageKind::Gif:
      return complete_gif(b);
    case ImageKind::Png:
      return complete_png(b);
    case ImageKind::Webp:
      return complete_webp(b);
    case ImageKind::None:
      break;
  }
  return false;
}

std::string unusable_image_cause(const Response& outcome) {
  const std::string_view body = outcome.body;
  if (outcome.failure != FetchFailure::None || outcome.status != 200) {
    std::string cause = describe_outcome(outcome);
    if (outcome.failure == FetchFailure::None && outcome.status == 403)
      cause += G("：图片服务器拒绝访问");
    else if (outcome.failure == FetchFailure::None &&
             (outcome.status == 414 || outcome.status == 418 || outcome.status == 429))
      cause += G("：请求过于频繁");
    return cause;
  }
  if (body.empty()) return G("服务器回答为空");
  if (const ImageKind kind = image_kind(body); kind != ImageKind::None) {
    if (is_complete_image(body)) return {};
    return G("图片不完整（") + std::string(kind_name(kind)) + G("数据中途截断）");
  }
  const std::string_view text = skip_blanks(body);
  if (text.starts_with("<")) {
    if (looks_like_login_page(text)) return G("回答是登录页面而不是图片：登录可能已过期，请先在登录页登录");
    return G("回答是网页而不是图片");
  }
  if (text.starts_with("{") || text.starts_with("[")) return G("回答是JSON文本而不是图片");
  return G("回答不是图片");
}

}  // namespace af
