#include "download/record_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "core/paths.h"

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

sqlite3* open_database(const std::string& path, bool create) {
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 2000);
  // WAL: an interrupted append is rolled back on the next open; NORMAL syncing can lose the
  // last appends on a power cut (those photos are fetched again) but never damages the file.
  if (sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
                   nullptr) != SQLITE_OK ||
      sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
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
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           c == '_' || c == '-';
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

DownloadRecord::DownloadRecord(DownloadRecord&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)),
      lookup_(std::exchange(other.lookup_, nullptr)),
      insert_(std::exchange(other.insert_, nullptr)) {}

DownloadRecord& DownloadRecord::operator=(DownloadRecord&& other) noexcept {
  if (this != &other) {
    reset();
    db_ = std::exchange(other.db_, nullptr);
    lookup_ = std::exchange(other.lookup_, nullptr);
    insert_ = std::exchange(other.insert_, nullptr);
  }
  return *this;
}

void DownloadRecord::reset() noexcept {
  sqlite3_finalize(lookup_);
  sqlite3_finalize(insert_);
  sqlite3_close(db_);
  lookup_ = nullptr;
  insert_ = nullptr;
  db_ = nullptr;
}

bool DownloadRecord::create_record_store(const std::string& path) {
  if (file_exists(path)) return true;
  sqlite3* db = open_database(path, true);
  if (db == nullptr) return false;
  sqlite3_close(db);
  return true;
}

bool DownloadRecord::open_record_store(const std::string& path) {
  reset();
  // A vanished file is made anew rather than leaving the album without a record.
  db_ = open_database(path, true);
  if (db_ == nullptr) return false;
  if (sqlite3_prepare_v2(db_, "SELECT 1 FROM record WHERE photo_id = ?1 LIMIT 1", -1, &lookup_,
                         nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db_, "INSERT OR IGNORE INTO record (photo_id) VALUES (?1)", -1, &insert_,
                         nullptr) != SQLITE_OK) {
    reset();
    return false;
  }
  return true;
}

bool DownloadRecord::is_recorded(const std::string& photo_id) const {
  if (lookup_ == nullptr) return false;
  sqlite3_reset(lookup_);
  sqlite3_bind_text(lookup_, 1, photo_id.data(), static_cast<int>(photo_id.size()), SQLITE_TRANSIENT);
  bool found = sqlite3_step(lookup_) == SQLITE_ROW;
  sqlite3_reset(lookup_);
  sqlite3_clear_bindings(lookup_);
  return found;
}

bool DownloadRecord::add_record(const std::string& photo_id) {
  if (insert_ == nullptr) return false;
  sqlite3_reset(insert_);
  sqlite3_bind_text(insert_, 1, photo_id.data(), static_cast<int>(photo_id.size()), SQLITE_TRANSIENT);
  bool done = sqlite3_step(insert_) == SQLITE_DONE;
  sqlite3_reset(insert_);
  sqlite3_clear_bindings(insert_);
  return done;
}

void DownloadRecord::close_record_store() { reset(); }

}  // namespace af
