// SPDX-License-Identifier: GPL-3.0-or-later
#include "http/firefox_cookies.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

namespace af {

namespace {

namespace fs = std::filesystem;

struct IniSection {
  std::string name;
  std::map<std::string, std::string> values;
  std::string value(const std::string& key) const {
    const auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
  }
};

std::string trimmed(std::string text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") + 1 - first);
}

// The sections of an INI file in their order; nullopt when it cannot be read.
std::optional<std::vector<IniSection>> read_ini(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<IniSection> sections;
  for (std::string line; std::getline(in, line);) {
    line = trimmed(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      sections.push_back({line.substr(1, line.size() - 2), {}});
    } else if (const std::size_t eq = line.find('='); eq != std::string::npos && !sections.empty()) {
      sections.back().values[trimmed(line.substr(0, eq))] = trimmed(line.substr(eq + 1));
    }
  }
  return sections;
}

// A Path= of profiles.ini as a folder: relative to the Firefox folder unless it is absolute.
std::string profile_path(const std::string& folder, const std::string& path, bool relative) {
  if (!relative || path.starts_with("/")) return path;
  return folder + "/" + path;
}

std::string profile_path(const std::string& folder, const IniSection& profile) {
  return profile_path(folder, profile.value("Path"), profile.value("IsRelative") != "0");
}

std::optional<std::string> existing_folder(const std::string& path, const std::string& named_by,
                                           std::string& error) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return path;
  error = named_by.empty() ? "the profile folder " + path + " does not exist"
                           : named_by + " names the profile folder " + path + ", which does not exist";
  return std::nullopt;
}

// The default profile of one Firefox folder's profiles.ini, or "".
std::string default_profile(const std::string& folder, const std::vector<IniSection>& sections) {
  for (const IniSection& s : sections)
    if (s.name.starts_with("Install") && !s.value("Default").empty())
      return profile_path(folder, s.value("Default"), true);
  const IniSection* only = nullptr;
  int profiles = 0;
  for (const IniSection& s : sections) {
    if (!s.name.starts_with("Profile") || s.value("Path").empty()) continue;
    if (s.value("Default") == "1") return profile_path(folder, s);
    only = &s;
    ++profiles;
  }
  return profiles == 1 ? profile_path(folder, *only) : std::string();
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

// A folder of this process's own in the temporary folder, removed with everything in it.
class PrivateFolder {
 public:
  PrivateFolder() {
    std::error_code ec;
    std::string pattern = (fs::temp_directory_path(ec) / "albumfetcher-cookies-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;  // mode 0700
  }
  ~PrivateFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Copies the regular file `from` to the new file `to` (owner-only). Empty when done, else
// why not. Neither a folder nor a pipe is read, and the source's access time stays where
// the file system allows it.
std::string copy_bytes(const std::string& from, const std::string& to) {
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  int fd = ::open(from.c_str(), kFlags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = ::open(from.c_str(), kFlags);
  if (fd < 0) return std::strerror(errno);
  const FileDescriptor in(fd);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return "it is a folder, not a file";
  if (!S_ISREG(st.st_mode)) return "it is not a regular file";
  const FileDescriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (out.get() < 0) return "cannot copy it: " + std::string(std::strerror(errno));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::strerror(errno);
    if (n == 0) return {};
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out.get(), buffer + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return "cannot copy it: " + std::string(std::strerror(errno));
      done += w;
    }
  }
}

// Why SQLite could not read the copy, told of the profile's own file.
std::string database_problem(int code, const char* message) {
  const std::string said = message != nullptr ? message : sqlite3_errstr(code);
  switch (code & 0xff) {
    case SQLITE_NOTADB:
      return "it is not a cookie database (" + said + ")";
    case SQLITE_CORRUPT:
      return "it is damaged (" + said + ")";
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "it is locked (" + said + ")";
    default:
      if (said.find("no such table") != std::string::npos || said.find("no such column") != std::string::npos)
        return "it is not a Firefox cookie database (" + said + ")";
      return "it cannot be read as a cookie database (" + said + ")";
  }
}

std::string column_text(sqlite3_stmt* statement, int column) {
  const auto* text = sqlite3_column_text(statement, column);
  return text != nullptr ? reinterpret_cast<const char*>(text) : std::string();
}

bool fits_a_cookie_line(const Cookie& c) {
  for (const std::string* field : {&c.domain, &c.path, &c.name, &c.value})
    if (field->find_first_of("\t\r\n") != std::string::npos) return false;
  return !c.name.empty() && !c.domain.empty();
}

}  // namespace

std::vector<std::string> firefox_folders(const std::string& home) {
  return {home + "/.mozilla/firefox", home + "/snap/firefox/common/.mozilla/firefox",
          home + "/.var/app/org.mozilla.firefox/.mozilla/firefox"};
}

std::optional<std::string> find_firefox_profile(const std::string& home, const std::string& profile,
                                                std::string& error) {
  if (profile.find('/') != std::string::npos) return existing_folder(profile, {}, error);
  std::vector<std::string> names;
  std::vector<std::string> inis;
  for (const std::string& folder : firefox_folders(home)) {
    const std::string ini = folder + "/profiles.ini";
    const std::optional<std::vector<IniSection>> sections = read_ini(ini);
    if (!sections) continue;
    inis.push_back(ini);
    if (profile.empty()) {
      if (const std::string path = default_profile(folder, *sections); !path.empty())
        return existing_folder(path, ini, error);
    }
    for (const IniSection& s : *sections) {
      if (!s.name.starts_with("Profile") || s.value("Path").empty()) continue;
      if (!profile.empty() && s.value("Name") == profile)
        return existing_folder(profile_path(folder, s), ini, error);
      names.push_back(s.value("Name"));
    }
  }
  if (inis.empty())
    error = "no Firefox profile found: none of " + joined(firefox_folders(home)) + " holds a profiles.ini";
  else if (profile.empty())
    error = joined(inis) +
            " names no default profile; choose one with firefox:NAME (profiles: " + joined(names) + ")";
  else
    error = "no Firefox profile is named '" + profile + "' in " + joined(inis) +
            " (profiles: " + joined(names) + ")";
  return std::nullopt;
}

bool host_on_domains(std::string_view host, const std::vector<std::string>& domains) {
  return std::any_of(domains.begin(), domains.end(),
                     [&](const std::string& domain) { return host_within(host, domain); });
}

long long firefox_expiry_seconds(long long expiry) {
  constexpr long long kLatestSeconds = 100'000'000'000;  // the year 5138 in seconds, 1973 in milliseconds
  return expiry > kLatestSeconds ? expiry / 1000 : expiry;
}

FirefoxCookies read_firefox_cookies(const std::string& profile_folder,
                                    const std::function<bool(std::string_view host)>& wanted) {
  FirefoxCookies read;
  const std::string database = profile_folder + "/cookies.sqlite";
  auto fail = [&](const std::string& why) {
    read.cookies.clear();
    read.error = database + ": " + why;
    return read;
  };
  const PrivateFolder copy;
  if (copy.path().empty())
    return fail("no temporary folder to copy it into: " + std::string(std::strerror(errno)));
  const std::string copied = copy.path() + "/cookies.sqlite";
  if (std::string why = copy_bytes(database, copied); !why.empty()) return fail(why);
  // Firefox's latest writes may still be only in its write-ahead log.
  std::error_code ec;
  if (fs::exists(database + "-wal", ec)) {
    if (std::string why = copy_bytes(database + "-wal", copied + "-wal"); !why.empty())
      return fail("its write-ahead log cookies.sqlite-wal: " + why);
  }

  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(copied.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  struct Closer {
    sqlite3* db;
    ~Closer() { sqlite3_close(db); }
  } closer{db};
  if (rc != SQLITE_OK) return fail(database_problem(rc, db != nullptr ? sqlite3_errmsg(db) : nullptr));
  sqlite3_stmt* statement = nullptr;
  rc = sqlite3_prepare_v2(db,
                          "SELECT host, path, isSecure, isHttpOnly, expiry, name, value FROM moz_cookies "
                          "WHERE originAttributes = '' ORDER BY id",
                          -1, &statement, nullptr);
  if (rc != SQLITE_OK) return fail(database_problem(rc, sqlite3_errmsg(db)));
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    Cookie cookie;
    cookie.domain = column_text(statement, 0);
    cookie.include_subdomains = cookie.domain.starts_with(".");
    cookie.path = column_text(statement, 1);
    if (cookie.path.empty()) cookie.path = "/";
    cookie.secure = sqlite3_column_int(statement, 2) != 0;
    cookie.http_only = sqlite3_column_int(statement, 3) != 0;
    cookie.expires = std::max(0LL, firefox_expiry_seconds(sqlite3_column_int64(statement, 4)));
    cookie.name = column_text(statement, 5);
    cookie.value = column_text(statement, 6);
    if (!fits_a_cookie_line(cookie) || cookie.is_expired() || !wanted(cookie.domain)) continue;
    read.cookies.push_back(std::move(cookie));
  }
  const std::string said = sqlite3_errmsg(db);
  sqlite3_finalize(statement);
  if (rc != SQLITE_DONE) return fail(database_problem(rc, said.c_str()));
  return read;
}

}  // namespace af
