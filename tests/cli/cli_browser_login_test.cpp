// SPDX-License-Identifier: GPL-3.0-or-later
// albumfetcher-cli --cookies-from-browser: the login of a Firefox profile for one run, in
// place of the window's, with the profile left exactly as it was.
#include <sqlite3.h>

#include <ctime>
#include <optional>

#include "cli_fixture.h"

namespace aftest::cli {
namespace {

constexpr const char* kSession = afsample::SampleService::kSessionCookie;

// A row of moz_cookies; the expiry as stored: seconds, or milliseconds in some versions; the
// origin "" for ordinary windows, "^userContextId=1" for a container tab.
struct Row {
  std::string host, name, value;
  long long expiry;
  std::string origin;
};

long long expiry_in_days(int days) { return static_cast<long long>(std::time(nullptr)) + days * 86400LL; }

// cookies.sqlite as a running Firefox holds it: Firefox's moz_cookies table, an exclusive
// lock, the rows only in cookies.sqlite-wal (no checkpoint) while the object lives.
struct RunningFirefox {
  RunningFirefox(const std::string& path, const std::vector<Row>& rows) {
    std::string sql =
        "PRAGMA locking_mode = EXCLUSIVE; PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;"
        "CREATE TABLE moz_cookies (id INTEGER PRIMARY KEY, originAttributes TEXT NOT NULL DEFAULT '', name "
        "TEXT,"
        " value TEXT, host TEXT, path TEXT, expiry INTEGER, lastAccessed INTEGER, creationTime INTEGER,"
        " isSecure INTEGER, isHttpOnly INTEGER, inBrowserElement INTEGER DEFAULT 0, sameSite INTEGER DEFAULT "
        "0,"
        " rawSameSite INTEGER DEFAULT 0, schemeMap INTEGER DEFAULT 0,"
        " CONSTRAINT moz_uniqueid UNIQUE (name, host, path, originAttributes));";
    for (const Row& r : rows) {
      char* insert = sqlite3_mprintf(
          "INSERT INTO moz_cookies VALUES (NULL, %Q, %Q, %Q, %Q, '/', %lld, %lld, %lld,"
          " 0, 1, 0, 0, 0, 1);",
          r.origin.c_str(), r.name.c_str(), r.value.c_str(), r.host.c_str(), r.expiry,
          std::time(nullptr) * 1000000LL, std::time(nullptr) * 1000000LL);
      sql += insert;
      sqlite3_free(insert);
    }
    char* message = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message))
      error = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
  }
  RunningFirefox(const RunningFirefox&) = delete;
  ~RunningFirefox() { sqlite3_close(db); }
  sqlite3* db = nullptr;
  std::string error;
};

class CliBrowserLoginTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    if (const char* home = std::getenv("HOME")) saved_home_ = home;
    ::setenv("HOME", home_.path().c_str(), 1);  // the child inherits it
    std::filesystem::create_directories(profile_);
    write_file(home_.file(".mozilla/firefox/profiles.ini"),
               "[Install4F96D1932A9F858E]\nDefault=Profiles/q1w2.default-release\nLocked=1\n\n"
               "[Profile0]\nName=default-release\nIsRelative=1\nPath=Profiles/q1w2.default-release\n");
  }
  void TearDown() override {
    ::setenv("HOME", saved_home_.c_str(), 1);
    CliTest::TearDown();
  }
  // Each file of the profile: its bytes and modification time.
  std::map<std::string, std::pair<std::string, std::filesystem::file_time_type>> profile_files() const {
    std::map<std::string, std::pair<std::string, std::filesystem::file_time_type>> files;
    for (const auto& entry : std::filesystem::directory_iterator(profile_))
      files[entry.path().filename()] = {read_file(entry.path()), entry.last_write_time()};
    return files;
  }

  ScratchFolder home_{"af-cli-home"};
  std::string saved_home_;
  const std::string profile_ = home_.file(".mozilla/firefox/Profiles/q1w2.default-release");
  const std::string database_ = profile_ + "/cookies.sqlite";
};

// Firefox is running: its database is locked and the login is only in its write-ahead log.
// The service's valid cookies of ordinary windows are taken (the count says how many),
// those of 127.0.0.1 alone are sent there, and neither the profile nor the window's login
// changes.
TEST_F(CliBrowserLoginTest, TheProfilesServiceCookiesAloneReachTheService) {
  const auto user = locked_user();
  service().add_user(user);
  const std::string session = service().new_session();
  const long long month = expiry_in_days(30);
  const RunningFirefox firefox(
      database_, {{"127.0.0.1", kSession, session, month, ""},
                  {"127.0.0.1", "SUBP", "0033WrSX", month * 1000, ""},
                  {".WEIBO.com", "SUBP", "w", month, ""},
                  {"login.sina.com.cn", "ALF", "a", month, ""},
                  {"127.0.0.1", "gone", "1", expiry_in_days(-1), ""},
                  {".weibo.com", "old", "1", expiry_in_days(-1) * 1000, ""},
                  {"127.0.0.1", kSession, "tab", month, "^userContextId=1"},
                  {".weibo.com", "SUB", "parted", month, "^partitionKey=%28https%2Cexample.org%29"},
                  {".example.org", "track", "1", month, ""},
                  {"notweibo.com", "n", "1", month, ""},
                  {".sinaimg.cn", "i", "1", month, ""}});
  ASSERT_EQ(firefox.error, "");
  const std::string window =
      "127.0.0.1\tFALSE\t/\tFALSE\t" + std::to_string(expiry_in_days(1)) + "\tWINDOW\t1\n";
  write_file(program_.file("cookies.txt"), window);
  const auto before = profile_files();

  const CliResult result = run_with({"--cookies-from-browser", "firefox", "--albums", "2", home(user)});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(files_under(save_.path()), album_files(user, user.albums[1]));
  EXPECT_NE(result.err.find("albumfetcher-cli: 4 cookies of the service taken from " + profile_ + "\n"),
            std::string::npos)
      << result.err;
  std::size_t with_cookies = 0;  // in curl's order: the longer name first
  for (const auto& request : service().requests()) {
    if (!request.has_header("Cookie")) continue;
    ++with_cookies;
    EXPECT_EQ(request.header("Cookie"), "SUBP=0033WrSX; " + std::string(kSession) + "=" + session)
        << request.target;
  }
  EXPECT_GT(with_cookies, 0u);
  EXPECT_EQ(profile_files(), before);  // no byte, date or file more (no -shm)
  EXPECT_EQ(read_file(program_.file("cookies.txt")), window);
}

struct RefusedCase {
  const char* name;
  std::vector<std::string> args;
  std::string
      database;       // cookies.sqlite: "none", "folder", "example.org" (its cookies only), else these bytes
  std::string cause;  // what standard error says
};

class CliBrowserLoginRefused : public CliBrowserLoginTest,
                               public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(CliBrowserLoginRefused, ExitsWithTwoAndTheCauseBeforeAnyRequest) {
  const RefusedCase& c = GetParam();
  std::optional<RunningFirefox> firefox;
  if (c.database == "folder")
    std::filesystem::create_directory(database_);
  else if (c.database == "example.org")
    firefox.emplace(database_, std::vector<Row>{{".example.org", kSession, "x", expiry_in_days(30), ""}});
  else if (c.database != "none")
    write_file(database_, c.database);
  std::vector<std::string> args = c.args;
  args.push_back(home(locked_user()));
  const CliResult result = run_with(args);
  EXPECT_EQ(result.exit_code, 2) << result.err;
  EXPECT_EQ(result.err.rfind("albumfetcher-cli: --cookies", 0), 0u) << result.err;
  EXPECT_NE(result.err.find(c.cause), std::string::npos) << result.err;
  EXPECT_TRUE(service().requests().empty());
}

const std::vector<std::string> kFirefox{"--cookies-from-browser", "firefox"};

INSTANTIATE_TEST_SUITE_P(
    Cases, CliBrowserLoginRefused,
    ::testing::Values(
        RefusedCase{"OtherBrowser",
                    {"--cookies-from-browser", "chrome"},
                    "none",
                    "--cookies-from-browser reads Firefox only (firefox or firefox:PROFILE), not 'chrome'"},
        RefusedCase{"WithCookieFile",
                    {"--cookies", "c.txt", "--cookies-from-browser=firefox"},
                    "none",
                    "--cookies and --cookies-from-browser cannot be used together"},
        RefusedCase{"UnknownProfile",
                    {"--cookies-from-browser", "firefox:work"},
                    "none",
                    "--cookies-from-browser firefox:work: no Firefox profile is named 'work'"},
        RefusedCase{"NoDatabase", kFirefox, "none",
                    "/q1w2.default-release/cookies.sqlite: No such file or directory"},
        RefusedCase{"AFolder",
                    {"--cookies-from-browser", "firefox:default-release"},
                    "folder",
                    "cookies.sqlite: it is a folder, not a file"},
        RefusedCase{"NotADatabase", kFirefox, "# Netscape HTTP Cookie File\n",
                    "cookies.sqlite: it is not a cookie database (file is not a database)"},
        RefusedCase{"EmptyFile", kFirefox, "",
                    "it is not a Firefox cookie database (no such table: moz_cookies)"},
        RefusedCase{"NoServiceCookie", kFirefox, "example.org",
                    "q1w2.default-release holds no cookie of weibo.com, sina.com.cn or 127.0.0.1 that is "
                    "still valid"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace aftest::cli
