// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/record_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "core/paths.h"
#include "util/codepage.h"

namespace af {

namespace {

// The table keeps the ids in append order (rowid); the index makes a lookup a tree search
// and keeps each id once.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS record (photo_id TEXT NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS record_photo_id ON record (photo_id);";

bool file_exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

enum class Opened { Ok, NotARecord, Failed };

// Whether the open database is a record: empty (a new file) or holding our table only.
// SQLITE_NOTADB and SQLITE_CORRUPT: the file is something else, or damaged.
Opened check_schema(sqlite3* db) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, "SELECT type, name, sql FROM sqlite_master", -1, &statement, nullptr);
  bool foreign = false;
  while (rc == SQLITE_OK || rc == SQLITE_ROW) {
    if ((rc = sqlite3_step(statement)) != SQLITE_ROW) break;
    const auto text = [&](int column) {
      const auto* value = sqlite3_column_text(statement, column);
      return value ? std::string(reinterpret_cast<const char*>(value)) : std::string();
    };
    const std::string name = text(1);
    if (name == "record") {
      if (text(2).find("photo_id") == std::string::npos) foreign = true;
    } else if (name != "record_photo_id") {
      foreign = true;
    }
  }
  sqlite3_finalize(statement);
  if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) return Opened::NotARecord;
  if (rc != SQLITE_DONE && rc != SQLITE_OK) return Opened::Failed;
  return foreign ? Opened::NotARecord : Opened::Ok;
}

bool is_damage(int rc) {
  rc &= 0xFF;
  return rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT;
}

// Opens the record at `path`; on failure `cause` says why and the result is null.
sqlite3* open_database(const std::string& path, bool create, Opened& state, std::string& cause) {
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  const auto fail = [&](Opened how) {
    cause = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    if (int error = db != nullptr ? sqlite3_system_errno(db) : 0; error != 0)
      cause += std::string(" (") + std::strerror(error) + ")";
    sqlite3_close(db);
    state = how;
    return nullptr;
  };
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) return fail(Opened::Failed);
  sqlite3_busy_timeout(db, 2000);
  const Opened schema = check_schema(db);
  if (schema != Opened::Ok) {
    if (schema == Opened::NotARecord) cause = "not a download record";
    return fail(schema);
  }
  // WAL: an interrupted append is rolled back on the next open; NORMAL syncing can lose the
  // last appends on a power cut (those photos are fetched again) but never damages the file.
  // The log is folded into the file between appends (take_notices' caller never waits for
  // it inside a commit).
  int rc =
      sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=0;",
                   nullptr, nullptr, nullptr);
  // A lookup reads a few pages of the id index; a small page cache (256 KiB rather than
  // SQLite's 2 MiB) keeps the memory of a long download the same whatever the record's size.
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, "PRAGMA cache_size=-256;", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return fail(is_damage(rc) ? Opened::NotARecord : Opened::Failed);
  state = Opened::Ok;
  return db;
}

// Renames the file (and SQLite's -wal and -shm beside it) to "<path>.set-aside[-N]";
// returns the new name, or the empty text when it could not be renamed.
std::string set_aside(const std::string& path) {
  std::string target = path + ".set-aside";
  for (int n = 2; file_exists(target) && n < 1000; ++n) target = path + ".set-aside-" + std::to_string(n);
  if (std::rename(path.c_str(), target.c_str()) != 0) return {};
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::string from = path + suffix;
    if (file_exists(from) && std::rename(from.c_str(), (target + suffix).c_str()) != 0)
      ::unlink(from.c_str());  // a log of the old file must never be read into the new one
  }
  return target;
}

std::string gbk_path(const std::string& path) { return utf8_to_gb18030(path); }

RecordNotice unusable(const std::string& path, const std::string& cause) {
  return {false, G("下载记录无法使用：") + gbk_path(path) + G("，原因：") + utf8_to_gb18030(cause)};
}

RecordNotice replaced(const std::string& path, const std::string& aside, const std::string& cause) {
  return {true, G("下载记录文件无法读取（") + utf8_to_gb18030(cause) + G("），已改名为") + gbk_path(aside) +
                    G("，新的下载记录已建立：") + gbk_path(path)};
}

// Opens the record, setting aside a file that is not one and starting afresh.
sqlite3* open_or_replace(const std::string& path, bool create, std::vector<RecordNotice>& notices) {
  Opened state = Opened::Ok;
  std::string cause;
  sqlite3* db = open_database(path, create, state, cause);
  if (state == Opened::NotARecord) {
    const std::string aside = set_aside(path);
    if (aside.empty()) {
      notices.push_back(unusable(path, cause + ", and it cannot be renamed (" + std::strerror(errno) + ")"));
      return nullptr;
    }
    notices.push_back(replaced(path, aside, cause));
    db = open_database(path, true, state, cause);
  }
  if (db == nullptr) notices.push_back(unusable(path, cause));
  return db;
}

}  // namespace

std::string record_store_path(const std::string& user_id) {
  return program_file(record_file_stem(user_id) + ".dlr");
}

std::string record_file_stem(const std::string& user_id) {
  // The id is cut from a page the service sends; it is meant to be digits. Anything else
  // must not steer the file (or SQLite's -wal and -shm beside it) out of the program
  // directory, so only letters, digits, "_" and "-" are kept as they are.
  const auto plain = [](unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-';
  };
  constexpr std::size_t kLongestPlainId = 64;
  if (!user_id.empty() && user_id.size() <= kLongestPlainId &&
      std::all_of(user_id.begin(), user_id.end(), plain))
    return user_id;
  // Other bytes become "_", and a hash of the whole id follows, so that two different ids
  // never share a record.
  std::string stem;
  for (std::size_t i = 0; i < user_id.size() && stem.size() < kLongestPlainId; ++i)
    stem += plain(static_cast<unsigned char>(user_id[i])) ? user_id[i] : '_';
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : user_id) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return stem + "~" + hex;
}

DownloadRecord::~DownloadRecord() { reset(); }

DownloadRecord::DownloadRecord(DownloadRecord&& other) noexcept { *this = std::move(other); }

DownloadRecord& DownloadRecord::operator=(DownloadRecord&& other) noexcept {
  if (this != &other) {
    reset();
    db_ = std::exchange(other.db_, nullptr);
    lookup_ = std::exchange(other.lookup_, nullptr);
    insert_ = std::exchange(other.insert_, nullptr);
    path_ = std::move(other.path_);
    notices_ = std::move(other.notices_);
    damaged_ = std::exchange(other.damaged_, false);
    staged_ = std::exchange(other.staged_, false);
    held_ = std::move(other.held_);
    held_set_ = std::move(other.held_set_);
    held_since_ = other.held_since_;
    group_staged_ = std::exchange(other.group_staged_, false);
    appends_since_checkpoint_ = other.appends_since_checkpoint_;
  }
  return *this;
}

void DownloadRecord::reset() noexcept {
  if (staged_ && db_ != nullptr) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  staged_ = false;
  sqlite3_finalize(lookup_);
  sqlite3_finalize(insert_);
  sqlite3_close(db_);
  lookup_ = nullptr;
  insert_ = nullptr;
  db_ = nullptr;
}

bool DownloadRecord::create_record_store(const std::string& path) {
  std::vector<RecordNotice> ignored;
  return create_record_store(path, ignored);
}

bool DownloadRecord::create_record_store(const std::string& path, std::vector<RecordNotice>& notices) {
  sqlite3* db = open_or_replace(path, true, notices);
  sqlite3_close(db);
  return db != nullptr;
}

bool DownloadRecord::open_record_store(const std::string& path) {
  reset();
  path_ = path;
  damaged_ = false;
  // A vanished file is made anew rather than leaving the album without a record.
  db_ = open_or_replace(path, true, notices_);
  if (db_ == nullptr) return false;
  if (sqlite3_prepare_v2(db_, "SELECT 1 FROM record WHERE photo_id = ?1 LIMIT 1", -1, &lookup_, nullptr) !=
          SQLITE_OK ||
      sqlite3_prepare_v2(db_, "INSERT OR IGNORE INTO record (photo_id) VALUES (?1)", -1, &insert_, nullptr) !=
          SQLITE_OK) {
    note_failure(sqlite3_errmsg(db_));
    reset();
    return false;
  }
  return true;
}

void DownloadRecord::note_failure(const std::string& cause) { notices_.push_back(unusable(path_, cause)); }

void DownloadRecord::recover_from_damage() {
  damaged_ = false;
  reset();
  const std::string aside = set_aside(path_);
  if (aside.empty()) {
    note_failure(std::string("database disk image is malformed, and it cannot be renamed (") +
                 std::strerror(errno) + ")");
    return;
  }
  notices_.push_back(replaced(path_, aside, "database disk image is malformed"));
  const std::string path = path_;
  std::vector<RecordNotice> pending = std::move(notices_);
  open_record_store(path);
  pending.insert(pending.end(), notices_.begin(), notices_.end());
  notices_ = std::move(pending);
}

std::vector<RecordNotice> DownloadRecord::take_notices() { return std::exchange(notices_, {}); }

bool DownloadRecord::is_recorded(const std::string& photo_id) const {
  if (held_set_.count(photo_id) != 0) return true;
  if (lookup_ == nullptr) return false;
  sqlite3_reset(lookup_);
  sqlite3_bind_text(lookup_, 1, photo_id.data(), static_cast<int>(photo_id.size()), SQLITE_TRANSIENT);
  const int rc = sqlite3_step(lookup_);
  if (is_damage(rc)) damaged_ = true;  // set aside at the next append
  sqlite3_reset(lookup_);
  sqlite3_clear_bindings(lookup_);
  return rc == SQLITE_ROW;
}

bool DownloadRecord::add_record(const std::string& photo_id) {
  return stage_record(photo_id) && commit_staged();
}

bool DownloadRecord::stage_record(const std::string& photo_id) { return stage_ids({photo_id}); }

bool DownloadRecord::stage_ids(const std::vector<std::string>& photo_ids) {
  drop_staged();
  if (damaged_) recover_from_damage();
  if (insert_ == nullptr) return false;
  // The log is folded into the file now and then, between appends, never inside one.
  appends_since_checkpoint_ += static_cast<int>(photo_ids.size());
  if (appends_since_checkpoint_ >= 500) {
    appends_since_checkpoint_ = 0;
    sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  }
  int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) staged_ = true;
  for (std::size_t i = 0; rc == SQLITE_OK && i < photo_ids.size(); ++i) {
    const std::string& id = photo_ids[i];
    sqlite3_reset(insert_);
    sqlite3_bind_text(insert_, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
    rc = sqlite3_step(insert_) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_);
    sqlite3_reset(insert_);
    sqlite3_clear_bindings(insert_);
  }
  if (rc == SQLITE_OK) return true;
  const std::string cause = sqlite3_errmsg(db_);
  if (is_damage(rc)) damaged_ = true;
  drop_staged();
  note_failure(cause);
  return false;
}

void DownloadRecord::hold(const std::string& photo_id) {
  if (held_set_.count(photo_id) != 0) return;
  if (held_.empty()) held_since_ = std::chrono::steady_clock::now();
  held_.push_back(photo_id);
  held_set_.insert(photo_id);
}

bool DownloadRecord::stage_group() {
  // stage_ids drops an earlier staging first (clearing group_staged_), never the held ids.
  group_staged_ = !held_.empty() && stage_ids(held_);
  return group_staged_;
}

void DownloadRecord::drop_held() {
  held_.clear();
  held_set_.clear();
}

bool DownloadRecord::sync_log() {
  if (db_ == nullptr) return false;
  // The commit wrote the write-ahead log without waiting for the disk (synchronous=NORMAL);
  // this puts it there.
  sqlite3_file* log = nullptr;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) != SQLITE_OK || log == nullptr ||
      log->pMethods == nullptr)
    return sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) == SQLITE_OK;
  return log->pMethods->xSync(log, SQLITE_SYNC_NORMAL) == SQLITE_OK;
}

bool DownloadRecord::commit_staged() {
  if (!staged_) return false;
  const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) {
    staged_ = false;
    if (std::exchange(group_staged_, false)) drop_held();
    return true;
  }
  note_failure(sqlite3_errmsg(db_));
  drop_staged();
  return false;
}

void DownloadRecord::drop_staged() {
  group_staged_ = false;
  if (!staged_) return;
  staged_ = false;
  if (db_ != nullptr && !sqlite3_get_autocommit(db_))
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

int DownloadRecord::remove_records(const std::vector<std::string>& photo_ids) {
  drop_staged();
  if (db_ == nullptr) return -1;
  sqlite3_stmt* remove = nullptr;
  if (sqlite3_prepare_v2(db_, "DELETE FROM record WHERE photo_id = ?1", -1, &remove, nullptr) != SQLITE_OK) {
    note_failure(sqlite3_errmsg(db_));
    return -1;
  }
  int removed = 0;
  bool ok = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  for (std::size_t i = 0; ok && i < photo_ids.size(); ++i) {
    const std::string& id = photo_ids[i];
    sqlite3_bind_text(remove, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
    ok = sqlite3_step(remove) == SQLITE_DONE;
    removed += sqlite3_changes(db_);
    sqlite3_reset(remove);
    sqlite3_clear_bindings(remove);
  }
  sqlite3_finalize(remove);
  ok = ok && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok) {
    note_failure(sqlite3_errmsg(db_));
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return -1;
  }
  return removed;
}

void DownloadRecord::close_record_store() {
  reset();
  drop_held();
}

}  // namespace af
