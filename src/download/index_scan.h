// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reading an album index without holding it: its lines in file order, read in pieces, and
// its photos (one per file, as read_album_index_contents gives them) handed on one by one.
//
//   IndexScan scan(folder_path);            // one pass: bad lines, counts, the files' hashes
//   if (scan.error() == 0) scan.each([](IndexedPhoto&& photo) { ...; return true; });
//
// What a scan keeps is 8 bytes for each file the index names and 16 for each line that
// repeats a file, not the lines: an index of any length is read in 64 KiB pieces. A file is
// known by a 64-bit hash of its name (see HashTable).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "download/archive.h"

namespace af {

// The lines of a file in order, without their line ends, read in 64 KiB pieces.
class LineReader {
 public:
  explicit LineReader(const std::string& path);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  // 0, or the errno of the open or of a read (EINVAL: not a regular file).
  int error() const { return error_; }
  // The next line and where it starts; `last` is set for a last line without a line end.
  // False at the end of the file, or at `stop` bytes when given.
  bool next(std::string_view& line, std::uint64_t& offset, bool& last);
  void stop_at(std::uint64_t size) { stop_ = size; }
  std::uint64_t position() const { return start_; }

 private:
  bool fill();
  int fd_ = -1;
  int error_ = 0;
  std::string buffer_;
  std::size_t begin_ = 0;       // the next line's start in buffer_
  std::uint64_t start_ = 0;     // its offset in the file
  std::uint64_t read_ = 0;      // bytes read from the file
  std::uint64_t stop_ = ~std::uint64_t{0};
  bool at_end_ = false;
};

// The line of the file at `path` that starts at `offset`, without its line end; false when
// it cannot be read.
bool read_line_at(const std::string& path, std::uint64_t offset, std::string& line);

class IndexScan {
 public:
  // Reads the index of `folder_path` once.
  explicit IndexScan(std::string folder_path);
  int error() const { return error_; }                  // as AlbumIndexContents::error
  std::size_t whole_lines() const { return whole_lines_; }
  const std::vector<BadIndexLine>& bad_lines() const { return bad_lines_; }
  std::size_t photos() const { return files_.size(); }  // files named by followed lines
  bool readable() const { return error_ == 0 && whole_lines_ > 0; }
  // Whether a followed line names `file_name`.
  bool names(std::string_view file_name) const;
  // Reads the index again up to where the scan ended, and hands on one photo per file, as
  // its last line says, in the order the files were first indexed; `each` returns false to
  // stop. False when the index could not be read again.
  bool each(const std::function<bool(IndexedPhoto&& photo)>& each) const;

 private:
  std::string path_;
  int error_ = 0;
  std::size_t whole_lines_ = 0;
  std::vector<BadIndexLine> bad_lines_;
  std::uint64_t size_ = 0;
  std::vector<std::uint64_t> files_;  // the hashes of the files named, sorted
  // Lines that name a file indexed again further on: where each starts, and where the
  // file's last line starts (the one that holds for it).
  std::vector<std::pair<std::uint64_t, std::uint64_t>> repeated_first_;  // by first offset
  std::vector<std::uint64_t> repeated_later_;                          // offsets, sorted
};

}  // namespace af
