// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Image bytes for the sample photo service: small real JPEG and GIF pictures, made
// distinct per photo (a comment carrying the tag) and padded to a wanted size with more
// comments, so every answer still decodes.
#include <cstddef>
#include <string>

namespace afsample {

std::string base_jpeg();  // 64 x 48 baseline JPEG
std::string base_gif();   // 48 x 32 GIF89a

// `size` 0 (or below the smallest possible) gives the base picture plus the tag comment;
// otherwise exactly `size` bytes.
std::string make_jpeg(const std::string& tag, std::size_t size = 0);
std::string make_gif(const std::string& tag, std::size_t size = 0);

}  // namespace afsample
