// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/image_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/fetch.h"
#include "sample_images.h"
#include "util/codepage.h"

namespace af {
namespace {

using namespace std::string_literals;

std::string bytes(std::initializer_list<int> values) {
  std::string b;
  for (int v : values) b.push_back(static_cast<char>(v));
  return b;
}

std::string be32(std::uint32_t v) {
  return bytes({int(v >> 24), int((v >> 16) & 255), int((v >> 8) & 255), int(v & 255)});
}

// A PNG made of its signature and three chunks (CRCs are not looked at).
std::string small_png() {
  std::string png = "\x89PNG\r\n\x1A\n";
  png += be32(13) + "IHDR" + std::string(13, '\x01') + "crc1";
  png += be32(5) + "IDAT" + "abcde" + "crc2";
  png += be32(0) + "IEND" + "crc3";
  return png;
}

std::string small_webp() {
  const std::string chunk = "VP8L" + bytes({6, 0, 0, 0}) + "pixels";
  const std::uint32_t size = static_cast<std::uint32_t>(4 + chunk.size());
  return "RIFF" + bytes({int(size & 255), int((size >> 8) & 255), 0, 0}) + "WEBP" + chunk;
}

// A baseline JPEG whose scan data hold a stuffed 0xFF and a restart marker, with an EXIF
// segment that carries a thumbnail of its own (start and end marker inside the segment).
std::string tricky_jpeg() {
  std::string thumb = bytes({0xFF, 0xD8, 0xFF, 0xD9});
  std::string jpeg = bytes({0xFF, 0xD8});
  jpeg += bytes({0xFF, 0xE1, 0, int(2 + 6 + thumb.size())}) + "Exif\0\0"s + thumb;
  jpeg += bytes({0xFF, 0xC0, 0, 11, 8, 0, 1, 0, 1, 1, 1, 0x11, 0});
  jpeg += bytes({0xFF, 0xDA, 0, 8, 1, 1, 0, 0, 63, 0});
  jpeg += bytes({0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0, 0x56, 0x78});
  jpeg += bytes({0xFF, 0xD9});
  return jpeg;
}

struct Picture {
  const char* name;
  std::string bytes;
  ImageKind kind;
};

std::vector<Picture> pictures() {
  return {
      {"sample jpeg", afsample::make_jpeg("tag"), ImageKind::Jpeg},
      {"padded sample jpeg", afsample::make_jpeg("tag", 5000), ImageKind::Jpeg},
      {"tricky jpeg", tricky_jpeg(), ImageKind::Jpeg},
      {"sample gif", afsample::make_gif("tag"), ImageKind::Gif},
      {"padded sample gif", afsample::make_gif("tag", 3000), ImageKind::Gif},
      {"png", small_png(), ImageKind::Png},
      {"webp", small_webp(), ImageKind::Webp},
  };
}

TEST(ImageCheck, WholePicturesAreCompleteAndEveryShorterPrefixIsNot) {
  for (const Picture& p : pictures()) {
    EXPECT_EQ(image_kind(p.bytes), p.kind) << p.name;
    EXPECT_TRUE(is_complete_image(p.bytes)) << p.name;
    // Bytes after the end (a camera's trailer) do not matter.
    EXPECT_TRUE(is_complete_image(p.bytes + "trailer")) << p.name;
    for (std::size_t n = 0; n < p.bytes.size(); ++n)
      ASSERT_FALSE(is_complete_image(std::string_view(p.bytes).substr(0, n))) << p.name << " cut at " << n;
  }
}

TEST(ImageCheck, AnswersThatAreNoPicture) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"html", "<!DOCTYPE html><html><body>login</body></html>"},
      {"json", "{\"ok\":0}"},
      {"text", "upstream error"},
      {"start and end marker only", bytes({0xFF, 0xD8, 0xFF, 0xD9})},
      {"gif without an image", "GIF89a" + bytes({1, 0, 1, 0, 0, 0, 0, 0x3B})},
      {"riff that is no webp", "RIFF" + bytes({4, 0, 0, 0}) + "WAVE"},
      {"png whose chunk runs past the end", "\x89PNG\r\n\x1A\n" + be32(0x7FFFFFF0u) + "IDAT"},
  };
  for (const auto& [name, body] : cases) EXPECT_FALSE(is_complete_image(body)) << name;
  EXPECT_EQ(image_kind("<html>"), ImageKind::None);
}

TEST(ImageCheck, CausesTellWhatTheAnswerWas) {
  const auto answer = [](int status) { return Response{FetchFailure::None, status, {}, {}}; };
  const std::string jpeg = afsample::make_jpeg("x");
  const std::string login = "<!DOCTYPE html><html><form><input type=\"password\"></form></html>";
  const struct {
    const char* name;
    Response outcome;
    std::string body;
    std::string cause;
  } cases[] = {
      {"complete", answer(200), jpeg, ""},
      {"empty", answer(200), "", G("服务器回答为空")},
      {"login page", answer(200), "\r\n " + login,
       G("回答是登录页面而不是图片：登录可能已过期，请先在登录页登录")},
      {"other page", answer(200), "<html><body>hello</body></html>", G("回答是网页而不是图片")},
      {"json", answer(200), "{\"ok\":0}", G("回答是JSON文本而不是图片")},
      {"text", answer(200), "upstream error", G("回答不是图片")},
      {"cut short", answer(200), jpeg.substr(0, jpeg.size() - 1), G("图片不完整（JPEG数据中途截断）")},
      {"404", answer(404), "<html></html>", G("服务器回答 HTTP 404")},
      {"403", answer(403), "", G("服务器回答 HTTP 403：图片服务器拒绝访问")},
      {"429", answer(429), "", G("服务器回答 HTTP 429：请求过于频繁")},
      {"418", answer(418), "", G("服务器回答 HTTP 418：请求过于频繁")},
      {"200 jpeg after a deadline", Response{FetchFailure::Deadline, 0, {}, {}}, "", G("请求超时")},
      {"cut off", Response{FetchFailure::CutOff, 0, {}, {}}, "", G("连接中断，回答不完整")},
  };
  for (auto c : cases) {
    c.outcome.body = c.body;
    EXPECT_EQ(unusable_image_cause(c.outcome), c.cause) << c.name;
  }
}

}  // namespace
}  // namespace af
