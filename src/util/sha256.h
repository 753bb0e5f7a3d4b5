// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// SHA-256 of bytes in memory or of a file read once in chunks, as lower-case hex.
//
//   Sha256 hash;
//   hash.update(chunk); ...
//   std::string hex = hash.hex_digest();
#include <memory>
#include <string>
#include <string_view>

namespace af {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::string_view bytes);
  // The digest of everything given so far (64 hex digits); the hash starts afresh after it.
  std::string hex_digest();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

std::string sha256_hex(std::string_view bytes);

}  // namespace af
