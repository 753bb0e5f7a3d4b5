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
// the table unreadable. A missing or damaged file never stops a download: the store then
// answers "not recorded" and drops appends.
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace af {

// program_file(<record_file_stem(user_id)>.dlr).
std::string record_store_path(const std::string& user_id);
// The user id as the record's file name: the id itself when it is letters, digits, "_"
// and "-" only (a service id is digits); otherwise the id with every other byte made "_",
// then "~" and a hash of the whole id. Never empty, never "." or "..", never a separator.
std::string record_file_stem(const std::string& user_id);

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

  // Opens (creating the table when the file lacks it). False when the file cannot be used;
  // the store then behaves as an empty record that keeps nothing.
  bool open_record_store(const std::string& path);
  // Exact byte comparison over the whole record.
  bool is_recorded(const std::string& photo_id) const;
  // Appends the id unless it is already recorded. False when nothing could be written.
  bool add_record(const std::string& photo_id);
  void close_record_store();
  bool is_open() const { return db_ != nullptr; }

 private:
  void reset() noexcept;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* lookup_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
};

}  // namespace af
