// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// DownloadRecord: the ids of the photos already downloaded for one user of the service.
//
//   DownloadRecord::create_record_store(record_store_path(user_id));  // at start, when missing
//   DownloadRecord record;
//   record.open_record_store(record_store_path(user_id));               // per album
//   if (!record.is_recorded(id)) { ...save...; record.add_record(id); }
//   record.close_record_store();
//
// One SQLite file per user: a table of photo_id in append order (rowid), with a unique
// index so that a lookup consults the whole record quickly and an id is kept once. Every
// append is its own transaction in a write-ahead log, so a crash or a kill never leaves
// the table unreadable. A missing file never stops a download: the store then answers
// "not recorded" and drops appends, and says so in notices(). A file that is not a record
// (another format, or damaged) is renamed with a suffix, never deleted, and a fresh record
// is started in its place.
#include <chrono>
#include <string>
#include <unordered_set>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace af {

// program_file(<record_file_stem(user_id)>.dlr).
std::string record_store_path(const std::string& user_id);
// The user id as the record's file name: the id itself when it is letters, digits, "_"
// and "-" only (a service id is digits); otherwise the id with every other byte made "_",
// then "~" and a hash of the whole id. Never empty, never "." or "..", never a separator.
std::string record_file_stem(const std::string& user_id);

// Something the log must say about the record file (GBK text naming the file and cause).
struct RecordNotice {
  bool usable = false;  // true: the record goes on (a file was set aside and replaced)
  std::string text;
};

class DownloadRecord {
 public:
  DownloadRecord() = default;
  ~DownloadRecord();
  DownloadRecord(const DownloadRecord&) = delete;
  DownloadRecord& operator=(const DownloadRecord&) = delete;
  DownloadRecord(DownloadRecord&& other) noexcept;
  DownloadRecord& operator=(DownloadRecord&& other) noexcept;

  // Creates the file with its table when no file exists at `path`; an existing file is
  // left untouched. True when the file exists afterwards.
  static bool create_record_store(const std::string& path);
  // The same, adding what went wrong to `notices`.
  static bool create_record_store(const std::string& path, std::vector<RecordNotice>& notices);

  // Opens (creating the table when the file lacks it). False when the file cannot be used;
  // the store then behaves as an empty record that keeps nothing.
  bool open_record_store(const std::string& path);
  // Exact byte comparison over the whole record, held ids included.
  bool is_recorded(const std::string& photo_id) const;
  // Appends the id unless it is already recorded. False when nothing could be written.
  bool add_record(const std::string& photo_id);
  // An append in two parts: stage_record prepares it (and may wait for another process
  // that writes the file); commit_staged makes it part of the record, quickly;
  // drop_staged forgets an append not committed. False when nothing could be prepared or
  // committed.
  bool stage_record(const std::string& photo_id);
  bool commit_staged();
  void drop_staged();

  // Appends in groups: hold() keeps the id of a photo whose file is durable in memory, where
  // is_recorded already finds it; stage_group() prepares one append of every held id (the
  // caller has flushed the photos' folder first), commit_staged() makes it part of the
  // record, and sync_log() puts the commit on disk (outside any step: it waits for the
  // disk). A kill or power cut before sync_log loses at most that group; the next download
  // records again those of its photos that the album index shows whole on disk.
  void hold(const std::string& photo_id);
  bool holds_any() const { return !held_.empty(); }
  // When the first of the held ids was held (meaningful while holds_any()).
  std::chrono::steady_clock::time_point held_since() const { return held_since_; }
  bool stage_group();
  bool sync_log();
  // Forgets the held ids (their photos are fetched again by a later download).
  void drop_held();
  // Removes these ids, in one transaction (a repair: their photos are fetched again). The
  // number removed, or -1 when the record could not be changed.
  int remove_records(const std::vector<std::string>& photo_ids);
  void close_record_store();
  bool is_open() const { return db_ != nullptr; }

  // What went wrong since the last call (file set aside, cannot be opened or written).
  std::vector<RecordNotice> take_notices();

 private:
  void reset() noexcept;
  void note_failure(const std::string& cause);
  // A lookup or append met a damaged file: set it aside and start afresh.
  void recover_from_damage();
  bool stage_ids(const std::vector<std::string>& photo_ids);
  std::string path_;
  std::vector<RecordNotice> notices_;
  mutable bool damaged_ = false;
  bool staged_ = false;
  bool group_staged_ = false;      // the staged append is the held ids'
  std::vector<std::string> held_;  // in the order held
  std::unordered_set<std::string> held_set_;
  std::chrono::steady_clock::time_point held_since_{};
  int appends_since_checkpoint_ = 0;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* lookup_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
};

}  // namespace af
