// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Whether the bytes of an image answer are a whole picture, and what they are when not.
//
//   if (!is_complete_image(body)) log(G("原因：") + unusable_image_cause(status, body, outcome));
//
// A photo is kept only when its answer is a complete picture: a JPEG from its start marker
// through its end marker, a GIF through its trailer, a PNG through its end chunk, or a WebP
// as long as its own header says. Anything else (an error page, a login page, a JSON
// answer, a picture cut short behind a correct length) is a failed photo.
#include <string>
#include <string_view>

namespace af {

struct Response;

enum class ImageKind { None, Jpeg, Gif, Png, Webp };

// The picture format its first bytes announce; None when they announce none of the four.
ImageKind image_kind(std::string_view bytes);

// Whether `bytes` hold a whole picture of the kind they announce. Bytes after the end
// (a trailer some cameras add) do not matter.
bool is_complete_image(std::string_view bytes);

// Words for a person (GBK) that say why an answer is no usable picture: the transport's
// failure or the answer's status, an empty answer, a web page (a login page when it looks
// like one), a JSON or text answer, or a picture cut short. Empty for a complete picture
// with status 200.
std::string unusable_image_cause(const Response& answer);

}  // namespace af
