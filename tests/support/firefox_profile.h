#pragma once
// Firefox's cookie database as a running Firefox holds it, for the tests of the browser
// login: the moz_cookies table of today's Firefox, an exclusive lock, the rows written only
// to cookies.sqlite-wal (no checkpoint) while the object lives.
//
//   RunningFirefox firefox(profile + "/cookies.sqlite", {{".weibo.com", "SUB", "x", expiry_in_days(30)}});
//   ASSERT_EQ(firefox.error(), "");
#include <sqlite3.h>

#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace aftest {

struct FirefoxCookieRow {
  FirefoxCookieRow(std::string host, std::string name, std::string value, long long expiry,
                   std::string origin_attributes = {})
      : host(std::move(host)), name(std::move(name)), value(std::move(value)), expiry(expiry),
        origin_attributes(std::move(origin_attributes)) {}
  std::string host;  // ".weibo.com" for a domain cookie, "weibo.com" host-only
  std::string name;
  std::string value;
  long long expiry;               // as stored: seconds, or milliseconds in some Firefox versions
  std::string origin_attributes;  // "" the default container; "^userContextId=1" a container tab
};

// An expiry `days` from now in seconds, as today's Firefox stores it.
inline long long expiry_in_days(int days) { return static_cast<long long>(std::time(nullptr)) + days * 86400LL; }

class RunningFirefox {
 public:
  RunningFirefox(const std::string& path, const std::vector<FirefoxCookieRow>& rows) {
    std::string sql =
        "PRAGMA locking_mode = EXCLUSIVE; PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;"
        "CREATE TABLE moz_cookies (id INTEGER PRIMARY KEY, originAttributes TEXT NOT NULL DEFAULT '', name TEXT,"
        " value TEXT, host TEXT, path TEXT, expiry INTEGER, lastAccessed INTEGER, creationTime INTEGER,"
        " isSecure INTEGER, isHttpOnly INTEGER, inBrowserElement INTEGER DEFAULT 0, sameSite INTEGER DEFAULT 0,"
        " rawSameSite INTEGER DEFAULT 0, schemeMap INTEGER DEFAULT 0,"
        " CONSTRAINT moz_uniqueid UNIQUE (name, host, path, originAttributes));";
    const long long now_us = static_cast<long long>(std::time(nullptr)) * 1000000;
    for (const FirefoxCookieRow& r : rows) {
      char* insert = sqlite3_mprintf(
          "INSERT INTO moz_cookies (originAttributes, name, value, host, path, expiry, lastAccessed, creationTime,"
          " isSecure, isHttpOnly, sameSite, rawSameSite, schemeMap) VALUES (%Q, %Q, %Q, %Q, '/', %lld, %lld,"
          " %lld, 0, 1, 0, 0, 1);",
          r.origin_attributes.c_str(), r.name.c_str(), r.value.c_str(), r.host.c_str(), r.expiry, now_us, now_us);
      sql += insert;
      sqlite3_free(insert);
    }
    char* message = nullptr;
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK ||
        sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK)
      error_ = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
  }
  ~RunningFirefox() { sqlite3_close(db_); }
  RunningFirefox(const RunningFirefox&) = delete;
  RunningFirefox& operator=(const RunningFirefox&) = delete;

  const std::string& error() const { return error_; }

 private:
  sqlite3* db_ = nullptr;
  std::string error_;
};

}  // namespace aftest
