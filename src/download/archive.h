// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What an album folder keeps for the people who archive it, beside the photos themselves:
// each photo file dated by its upload time, and an index of the album.
//
//   AlbumIndex index(folder.path);          // at the album's start
//   ... a photo is in place under `name`:
//   set_upload_time(folder.path + "/" + name, entry.timestamp);
//   index.add(indexed_photo(entry, name, album_id, album_caption, std::time(nullptr), bytes), error);
//
// The index is the hidden file ".albumfetcher-index.jsonl" (JSON Lines, UTF-8): one object
// per photo saved in the folder in any run, appended as each photo is saved, just before it
// takes its name (so no photo is under its name without its line), and never rewritten. A
// photo saved again under the same name with the same bytes adds nothing; under another
// name, or with other bytes, it adds a line that stands for that file from then on
// (read_indexed_photos). A line cut short by a crash is skipped when the
// file is read, and removed before the next line is added; the lines before it are never
// touched.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/hash_table.h"

namespace af {

struct PhotoEntry;

inline constexpr std::string_view kAlbumIndexName = ".albumfetcher-index.jsonl";

// A photo list timestamp as Unix seconds: an optional minus sign, digits and an optional
// fraction (dropped), nothing else: the service's number, or the same as a text; nullopt
// for anything else.
std::optional<std::int64_t> upload_time(std::string_view timestamp);

// "YYYY-MM-DDTHH:MM:SS+08:00": the moment in China Standard Time.
std::string china_time_text(std::int64_t unix_seconds);

// Sets the file's modification time to the photo's upload time. A timestamp that is not a
// number leaves the file as it is (dated by its saving); false only when setting failed.
bool set_upload_time(const std::string& file_path, std::string_view timestamp);

// One line of the index. Texts from the service are GBK/GB18030; file_name is UTF-8.
struct IndexedPhoto {
  std::string file_name;
  std::string photo_id;
  std::string feed_id;
  std::string timestamp;  // as the photo list gave it
  std::string caption;    // the whole caption, as sent
  std::string image_address;
  std::string album_id;
  std::string album_caption;  // the album's name in the table
  std::int64_t saved_at = 0;  // Unix seconds
  // The file's size and SHA-256 (lower-case hex) as written; lines written before these
  // were kept have neither.
  std::optional<std::uint64_t> bytes;
  std::string sha256;
};

// The line of a photo whose file holds `bytes`; `sha256` is their hash when made already.
IndexedPhoto indexed_photo(const PhotoEntry& entry, const std::string& file_name, const std::string& album_id,
                           const std::string& album_caption, std::int64_t saved_at, std::string_view bytes,
                           std::string sha256 = {});

// The line (UTF-8 JSON, no line end): file, photo_id, feed_id, uploaded (number or null),
// uploaded_cst (text or null), caption, image, album_id, album, saved, saved_cst, and
// bytes and sha256 when known.
std::string index_line(const IndexedPhoto& photo);
// Whether an index line may name `name` as its file: a plain name of a file in the album
// folder itself. Not empty, not "." or "..", no '/' or '\\' (so neither absolute nor in
// another folder), no NUL, and neither the index itself nor a temporary file.
bool is_indexable_file_name(std::string_view name);
// A line read back (texts GBK/GB18030 again, the timestamp as decimal digits or empty);
// nullopt for a line that is no whole JSON object or whose file is no indexable name. No
// reader of an archive follows such a line.
std::optional<IndexedPhoto> parse_index_line(std::string_view line);
// The same, with what else a reader tells of the line, from one parse.
struct IndexLineRead {
  bool whole = false;  // a whole JSON object
  std::string file;    // its "file" when that is a text, even when the line is not followed
  std::optional<IndexedPhoto> photo;
};
IndexLineRead read_index_line(std::string_view line);

// The index of the album folder being written: lines added and taken back, and what the
// lines say looked up. It keeps a 64-bit hash of each line's key, photo id and file name with
// where the line starts (40 to 80 bytes a photo), never the lines: a lookup that finds a
// photo or a file reads its line back, so the names and ids it gives are exact.
class AlbumIndex {
 public:
  // Reads the ids the folder's index holds already (a missing file holds none).
  explicit AlbumIndex(std::string folder_path);

  // Appends the photo's line and flushes it, unless its photo id is indexed already (true
  // then too). False, with the cause in `error` (GBK), when the file cannot be written.
  bool add(const IndexedPhoto& photo, std::string& error);
  // With `each` false, add() leaves its lines to flush(), which a download calls once for
  // a group of photos, before they are recorded.
  void set_flush_each_line(bool each) { flush_each_ = each; }
  bool flush(std::string& error);
  // Takes back the line that the last add() appended: its photo could not take that name
  // after all. Nothing when the last add() appended none.
  void take_back();
  bool contains(const std::string& photo_id) const { return ids_.contains(text_hash(photo_id)); }
  // The file the photo is saved in, as the last line naming that file says; empty when
  // no file is the photo's.
  std::string own_file(const std::string& photo_id) const;
  // The photo whose file `file_name` is, or empty when no line names it.
  std::string file_owner(const std::string& file_name) const;
  const std::string& path() const { return path_; }

 private:
  // What makes a line new: the photo, its file name and its bytes.
  static std::string line_key(const IndexedPhoto& photo);
  // The photo of the line that starts at `offset`, read back.
  std::optional<IndexedPhoto> line_at(std::uint64_t offset) const;
  std::string path_;
  HashTable ids_;     // photo id -> where its last line starts
  HashTable keys_{false};
  HashTable owners_;  // file name -> where the last line naming it starts
  // Notes that the line at `offset` is `photo`'s.
  void own(const IndexedPhoto& photo, std::uint64_t offset);
  // The file ends in a line cut short: it is cut back to `whole_size_` before the next line.
  bool cut_ = false;
  std::uint64_t whole_size_ = 0;
  bool flush_each_ = true;
  bool unflushed_ = false;  // lines added since the last flush()
  // The line the last add() appended: where the file ended before it, and what it added.
  struct Appended {
    std::uint64_t size_before = 0;
    std::uint64_t key = 0;
    std::uint64_t photo_id = 0;
    std::uint64_t file_name = 0;
    std::optional<std::uint64_t> owner_before;  // of file_name
    std::optional<std::uint64_t> file_before;   // of photo_id
  };
  std::optional<Appended> last_;
};

// The objects of an index file as JSON texts, in file order; lines that are not whole JSON
// objects are skipped. An unreadable or missing file gives none.
std::vector<std::string> read_album_index(const std::string& folder_path);

// A line of an index that parse_index_line refuses, so that nothing follows it.
struct BadIndexLine {
  std::size_t number = 0;  // the line's number in the file, from 1
  std::string text;        // its "file" when that is a text, else the line itself (bytes as found)
};

// What an album folder's index holds.
struct AlbumIndexContents {
  int error = 0;                // the errno when the index could not be read (ENOENT: there is none)
  std::size_t whole_lines = 0;  // lines that are whole JSON objects, followed or not
  // One per file name (the last line naming it), in the order their files were first indexed.
  std::vector<IndexedPhoto> photos;
  // In file order. Empty lines, and a last line cut short by a crash, are neither.
  std::vector<BadIndexLine> bad_lines;
  // Whether the index can tell anything about the folder's files.
  bool readable() const { return error == 0 && whole_lines > 0; }
};
AlbumIndexContents read_album_index_contents(const std::string& folder_path);

// Every line of an album folder's index as it stands, for a change of the index as a whole.
struct RawIndexLine {
  std::string text;                   // the line's bytes, without its line end
  std::optional<IndexedPhoto> photo;  // what parse_index_line makes of it
  bool cut = false;                   // the last line, cut short by a crash
};
// 0, or the errno when the index could not be read (ENOENT: there is none).
int read_raw_index_lines(const std::string& folder_path, std::vector<RawIndexLine>& lines);
// Replaces the folder's index by `lines` (each without its line end): written whole,
// flushed, then renamed into place. 0, or the errno.
int rewrite_album_index(const std::string& folder_path, const std::vector<std::string>& lines);

// The photos of an album folder's index: read_album_index_contents(folder_path).photos.
// Readers of an archive start here.
std::vector<IndexedPhoto> read_indexed_photos(const std::string& folder_path);

// Whether `name` is that of a picture as albums hold them (".jpg", ".jpeg", ".gif", ".png",
// ".webp", in any case), not a temporary file.
bool is_picture_file_name(std::string_view name);
// The regular files (not links) of `folder_path` that is_picture_file_name names.
std::size_t picture_file_count(const std::string& folder_path);

}  // namespace af
