// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/index_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "util/hash_table.h"

namespace af {

namespace {

constexpr std::size_t kPiece = 64 * 1024;

}  // namespace

LineReader::LineReader(const std::string& path) {
  // Not held up by a named pipe: only a regular file is read.
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) {
    error_ = errno;
    return;
  }
  struct stat info {};
  if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
    error_ = EINVAL;
    ::close(fd_);
    fd_ = -1;
  }
}

LineReader::~LineReader() {
  if (fd_ >= 0) ::close(fd_);
}

bool LineReader::fill() {
  if (fd_ < 0 || at_end_) return false;
  buffer_.erase(0, begin_);
  begin_ = 0;
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, stop_ - read_));
  if (want == 0) {
    at_end_ = true;
    return false;
  }
  const std::size_t at = buffer_.size();
  buffer_.resize(at + want);
  ssize_t got = 0;
  do got = ::read(fd_, buffer_.data() + at, want);
  while (got < 0 && errno == EINTR);
  buffer_.resize(at + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
  if (got < 0) error_ = errno;
  if (got <= 0) {
    at_end_ = true;
    return false;
  }
  read_ += static_cast<std::uint64_t>(got);
  return true;
}

bool LineReader::next(std::string_view& line, std::uint64_t& offset, bool& last) {
  for (std::size_t from = begin_;;) {
    const std::size_t end = buffer_.find('\n', from);
    if (end != std::string::npos) {
      line = std::string_view(buffer_).substr(begin_, end - begin_);
      offset = start_;
      last = false;
      start_ += end - begin_ + 1;
      begin_ = end + 1;
      return true;
    }
    from = buffer_.size() - begin_;  // where the search goes on, once the piece is moved
    if (!fill()) break;
    from += begin_;
  }
  if (begin_ >= buffer_.size()) return false;
  line = std::string_view(buffer_).substr(begin_);
  offset = start_;
  last = true;
  start_ += line.size();
  begin_ = buffer_.size();
  return true;
}

bool read_line_at(const std::string& path, std::uint64_t offset, std::string& line) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  line.clear();
  char piece[4096];
  bool ok = true;
  for (std::uint64_t at = offset;;) {
    const ssize_t got = ::pread(fd, piece, sizeof piece, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0 && !line.empty();
      break;
    }
    const std::string_view read(piece, static_cast<std::size_t>(got));
    const std::size_t end = read.find('\n');
    line.append(read.substr(0, end));
    if (end != std::string_view::npos) break;
    at += static_cast<std::uint64_t>(got);
  }
  ::close(fd);
  return ok;
}

IndexScan::IndexScan(std::string folder_path)
    : path_(std::move(folder_path) + "/" + std::string(kAlbumIndexName)) {
  LineReader lines(path_);
  // Each followed line: its file's hash and where it starts.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> followed;
  std::string_view line;
  std::uint64_t offset = 0;
  bool last = false;
  for (std::size_t number = 1; lines.next(line, offset, last); ++number) {
    if (line.empty()) continue;
    const IndexLineRead read = read_index_line(line);
    // A last line cut short by a crash is no line yet; the next download removes it.
    if (!read.whole && last) continue;
    if (read.whole) ++whole_lines_;
    if (!read.photo) {
      bad_lines_.push_back({number, read.file.empty() ? std::string(line) : read.file});
      continue;
    }
    followed.emplace_back(text_hash(read.photo->file_name), offset);
  }
  error_ = lines.error();
  size_ = lines.position();
  std::sort(followed.begin(), followed.end());
  for (std::size_t i = 0; i < followed.size();) {
    std::size_t j = i + 1;
    while (j < followed.size() && followed[j].first == followed[i].first) ++j;
    files_.push_back(followed[i].first);
    if (j - i > 1) {
      repeated_first_.emplace_back(followed[i].second, followed[j - 1].second);
      for (std::size_t k = i + 1; k < j; ++k) repeated_later_.push_back(followed[k].second);
    }
    i = j;
  }
  std::sort(repeated_first_.begin(), repeated_first_.end());
  std::sort(repeated_later_.begin(), repeated_later_.end());
}

bool IndexScan::names(std::string_view file_name) const {
  return std::binary_search(files_.begin(), files_.end(), text_hash(file_name));
}

bool IndexScan::each(const std::function<bool(IndexedPhoto&& photo)>& each) const {
  if (files_.empty()) return true;
  LineReader lines(path_);
  lines.stop_at(size_);
  std::string_view line;
  std::uint64_t offset = 0;
  bool last = false;
  std::string later;
  while (lines.next(line, offset, last)) {
    if (line.empty() || std::binary_search(repeated_later_.begin(), repeated_later_.end(), offset)) continue;
    // A file indexed again shows as its last line says, at its first line's place.
    const auto repeated = std::lower_bound(repeated_first_.begin(), repeated_first_.end(),
                                           std::pair{offset, std::uint64_t{0}});
    if (repeated != repeated_first_.end() && repeated->first == offset) {
      if (!read_line_at(path_, repeated->second, later)) return false;
      line = later;
    }
    std::optional<IndexedPhoto> photo = parse_index_line(line);
    if (photo && !each(std::move(*photo))) return true;
  }
  return lines.error() == 0;
}

}  // namespace af
