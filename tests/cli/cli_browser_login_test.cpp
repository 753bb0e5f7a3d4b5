// albumfetcher-cli --cookies-from-browser: the login of a Firefox profile for one run, in
// place of the window's, with the profile left exactly as it was.
#include <sqlite3.h>
#include <sys/stat.h>

#include <set>
#include <sstream>

#include "cli_fixture.h"
#include "support/firefox_profile.h"

namespace aftest::cli {
namespace {

constexpr const char* kSession = afsample::SampleService::kSessionCookie;

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
  // Every file of the profile with its bytes and modification time.
  std::map<std::string, std::pair<std::string, long long>> profile_files() const {
    std::map<std::string, std::pair<std::string, long long>> files;
    for (const auto& entry : std::filesystem::directory_iterator(profile_)) {
      struct stat st {};
      ::stat(entry.path().c_str(), &st);
      files[entry.path().filename().string()] = {read_file(entry.path().string()),
                                                 st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
    }
    return files;
  }

  ScratchFolder home_{"af-cli-home"};
  std::string saved_home_;
  const std::string profile_ = home_.file(".mozilla/firefox/Profiles/q1w2.default-release");
  const std::string database_ = profile_ + "/cookies.sqlite";
};

// Firefox is running: its database is locked and the login is only in its write-ahead log.
TEST_F(CliBrowserLoginTest, TheProfilesServiceCookiesAloneReachTheService) {
  const auto user = locked_user();
  service().add_user(user);
  const std::string session = service().new_session();
  const RunningFirefox firefox(database_, {{"127.0.0.1", kSession, session, expiry_in_days(30)},
                                           {"127.0.0.1", "SUBP", "0033WrSX", expiry_in_days(30) * 1000},
                                           {"127.0.0.1", "gone", "1", expiry_in_days(-1)},
                                           {"127.0.0.1", kSession, "other", expiry_in_days(30), "^userContextId=1"},
                                           {".weibo.com", "SUBP", "real", expiry_in_days(30)},
                                           {".example.org", "track", "1", expiry_in_days(30)}});
  ASSERT_EQ(firefox.error(), "");
  const std::string window = "127.0.0.1\tFALSE\t/\tFALSE\t" + std::to_string(expiry_in_days(1)) + "\tWINDOW\t1\n";
  write_file(program_.file("cookies.txt"), window);
  const auto before = profile_files();

  const CliResult result = run_with({"--cookies-from-browser", "firefox", "--albums", "2", home(user)});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(files_under(save_.path()), album_files(user, user.albums[1]));
  // weibo.com's is taken too, and left out by the requests to another host.
  EXPECT_NE(result.err.find("albumfetcher-cli: 3 cookies of the service taken from " + profile_ + "\n"),
            std::string::npos)
      << result.err;
  std::size_t with_cookies = 0;
  for (const auto& request : service().requests()) {
    if (!request.has_header("Cookie")) continue;
    ++with_cookies;
    std::set<std::string> sent;
    std::stringstream header(request.header("Cookie"));
    for (std::string item; std::getline(header >> std::ws, item, ';');) sent.insert(item);
    EXPECT_EQ(sent, (std::set<std::string>{std::string(kSession) + "=" + session, "SUBP=0033WrSX"}))
        << request.target;
  }
  EXPECT_GT(with_cookies, 0u);
  EXPECT_EQ(profile_files(), before);  // no byte, date or file more (no -shm)
  EXPECT_EQ(read_file(program_.file("cookies.txt")), window);
}

enum class Database { Missing, Text, Folder, OtherTables, OtherSite };

struct RefusedCase {
  const char* name;
  std::vector<std::string> args;
  Database database;
  std::string cause;  // what standard error says; <profile> stands for the profile folder
};

class CliBrowserLoginRefused : public CliBrowserLoginTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(CliBrowserLoginRefused, ExitsWithTwoAndTheCauseBeforeAnyRequest) {
  const RefusedCase& c = GetParam();
  std::unique_ptr<RunningFirefox> firefox;
  if (c.database == Database::Text) write_file(database_, "# Netscape HTTP Cookie File\n");
  if (c.database == Database::Folder) std::filesystem::create_directory(database_);
  if (c.database == Database::OtherTables) {
    sqlite3* db = nullptr;
    sqlite3_open(database_.c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE moz_places (id INTEGER PRIMARY KEY, url TEXT)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  if (c.database == Database::OtherSite)
    firefox = std::make_unique<RunningFirefox>(database_, std::vector<FirefoxCookieRow>{
                                                              {".example.org", kSession, "x", expiry_in_days(30)}});
  std::string cause = c.cause;
  if (const std::size_t at = cause.find("<profile>"); at != std::string::npos) cause.replace(at, 9, profile_);
  std::vector<std::string> args = c.args;
  args.push_back(home(locked_user()));
  const CliResult result = run_with(args);
  EXPECT_EQ(result.exit_code, 2) << result.err;
  EXPECT_EQ(result.err.rfind("albumfetcher-cli: --cookies", 0), 0u) << result.err;
  EXPECT_NE(result.err.find(cause), std::string::npos) << result.err;
  EXPECT_TRUE(service().requests().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliBrowserLoginRefused,
    ::testing::Values(
        RefusedCase{"OtherBrowser", {"--cookies-from-browser", "chrome"}, Database::Missing,
                    "--cookies-from-browser reads Firefox only (firefox or firefox:PROFILE), not 'chrome'"},
        RefusedCase{"WithCookieFile", {"--cookies", "c.txt", "--cookies-from-browser=firefox"}, Database::Missing,
                    "--cookies and --cookies-from-browser cannot be used together"},
        RefusedCase{"UnknownProfile", {"--cookies-from-browser", "firefox:work"}, Database::Missing,
                    "--cookies-from-browser firefox:work: no Firefox profile is named 'work'"},
        RefusedCase{"MissingProfileFolder", {"--cookies-from-browser", "firefox:/no/such/profile"},
                    Database::Missing, "the profile folder /no/such/profile does not exist"},
        RefusedCase{"NoDatabase", {"--cookies-from-browser", "firefox"}, Database::Missing,
                    "--cookies-from-browser firefox: <profile>/cookies.sqlite: No such file or directory"},
        RefusedCase{"NotADatabase", {"--cookies-from-browser", "firefox"}, Database::Text,
                    "cookies.sqlite: it is not a cookie database (file is not a database)"},
        RefusedCase{"AFolder", {"--cookies-from-browser", "firefox:default-release"}, Database::Folder,
                    "cookies.sqlite: it is a folder, not a file"},
        RefusedCase{"NotFirefoxs", {"--cookies-from-browser", "firefox"}, Database::OtherTables,
                    "it is not a Firefox cookie database (no such table: moz_cookies)"},
        RefusedCase{"NoServiceCookie", {"--cookies-from-browser", "firefox"}, Database::OtherSite,
                    "the profile <profile> holds no cookie of weibo.com, sina.com.cn or 127.0.0.1"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace aftest::cli
