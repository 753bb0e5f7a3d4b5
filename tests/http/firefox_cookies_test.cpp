#include "http/firefox_cookies.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "download/temp_folder.h"
#include "support/firefox_profile.h"

namespace af {
namespace {

using aftest::expiry_in_days;
using testing::TempFolder;
using testing::write_file;

// Which rows of a running Firefox's database are read for the service's domains, and with
// which expiry; the others are left out, whatever the reason.
TEST(FirefoxCookies, ReadsTheValidCookiesOfTheWantedDomainsOnly) {
  const long long month = expiry_in_days(30);
  const std::vector<std::pair<aftest::FirefoxCookieRow, long long>> rows = {
      {{".weibo.com", "SUB", "s", month}, month},
      {{"weibo.com", "SUBP", "ms", month * 1000}, month},  // milliseconds
      {{"login.sina.com.cn", "ALF", "a", month}, month},
      {{"127.0.0.1", "LOCAL", "l", month}, month},
      {{".WEIBO.COM", "UPPER", "u", month}, month},
      {{".example.org", "track", "t", month}, -1},
      {{"notweibo.com", "near", "n", month}, -1},
      {{".sinaimg.cn", "image", "i", month}, -1},
      {{".weibo.com", "old", "o", expiry_in_days(-1)}, -1},
      {{".weibo.com", "oldms", "o", expiry_in_days(-1) * 1000}, -1},
      {{".weibo.com", "contained", "c", month, "^userContextId=2"}, -1},
      {{".weibo.com", "parted", "p", month, "^partitionKey=%28https%2Cexample.org%29"}, -1},
  };
  TempFolder profile;
  std::vector<aftest::FirefoxCookieRow> written;
  std::map<std::string, long long> wanted;
  for (const auto& [row, expires] : rows) {
    written.push_back(row);
    if (expires >= 0) wanted[row.name] = expires;
  }
  const aftest::RunningFirefox firefox(profile.file("cookies.sqlite"), written);
  ASSERT_EQ(firefox.error(), "");
  const FirefoxCookies read = read_firefox_cookies(profile.path(), [](std::string_view host) {
    return host_on_domains(host, {"weibo.com", "sina.com.cn", "127.0.0.1"});
  });
  ASSERT_EQ(read.error, "");
  std::map<std::string, long long> got;
  for (const Cookie& c : read.cookies) got[c.name] = c.expires;
  EXPECT_EQ(got, wanted);
  EXPECT_TRUE(read.cookies.at(0).include_subdomains && read.cookies.at(0).http_only);
  EXPECT_FALSE(read.cookies.at(1).include_subdomains);
}

struct ProfileCase {
  const char* name;
  std::string folder;  // the Firefox folder under the home; "" none
  std::string ini;     // its profiles.ini
  std::string asked;   // what follows "firefox:"
  std::string found;   // the profile folder under the Firefox folder, or what the error says
};

const std::string kTwo =
    "[Profile1]\nName=default\nIsRelative=1\nPath=Profiles/a.default\nDefault=1\n\n"
    "[Profile0]\nName=work\nIsRelative=1\nPath=Profiles/b.work\n\n[General]\nVersion=2\n";
const std::string kInstall = "[Install4F96D1932A9F858E]\nDefault=Profiles/b.work\nLocked=1\n\n";
const std::string kDebian = "/.mozilla/firefox";

class FirefoxProfiles : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(FirefoxProfiles, AreFoundAsFirefoxFindsThem) {
  const ProfileCase& c = GetParam();
  TempFolder home;
  const std::string folder = home.path() + c.folder;
  if (!c.folder.empty()) {
    for (const char* profile : {"/Profiles/a.default", "/Profiles/b.work"})
      std::filesystem::create_directories(folder + profile);
    write_file(folder + "/profiles.ini", c.ini);
  }
  std::string asked = c.asked;
  if (asked.rfind("HOME", 0) == 0) asked.replace(0, 4, home.path());
  std::string error;
  const std::optional<std::string> found = find_firefox_profile(home.path(), asked, error);
  if (c.found.rfind("/", 0) == 0) {
    EXPECT_EQ(found.value_or(error), (asked.find('/') != std::string::npos ? home.path() : folder) + c.found);
  } else {
    EXPECT_FALSE(found);
    EXPECT_NE(error.find(c.found), std::string::npos) << error;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FirefoxProfiles,
    ::testing::Values(
        ProfileCase{"InstallDefaultFirst", kDebian, kInstall + kTwo, "", "/Profiles/b.work"},
        ProfileCase{"MarkedDefault", kDebian, kTwo, "", "/Profiles/a.default"},
        ProfileCase{"ByName", kDebian, kInstall + kTwo, "default", "/Profiles/a.default"},
        ProfileCase{"Snap", "/snap/firefox/common/.mozilla/firefox", kTwo, "work", "/Profiles/b.work"},
        ProfileCase{"Flatpak", "/.var/app/org.mozilla.firefox/.mozilla/firefox", kTwo, "", "/Profiles/a.default"},
        ProfileCase{"FolderPath", kDebian, kTwo, "HOME/.mozilla/firefox/Profiles/b.work",
                    "/.mozilla/firefox/Profiles/b.work"},
        ProfileCase{"UnknownName", kDebian, kTwo, "home", "no Firefox profile is named 'home'"},
        ProfileCase{"MissingFolder", kDebian, kTwo, "HOME/gone", "the profile folder "},
        ProfileCase{"NoDefault", kDebian, "[Profile0]\nPath=x\n\n[Profile1]\nPath=y\n", "", "names no default"},
        ProfileCase{"NoFirefox", "", "", "", "no Firefox profile found: none of "}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace af
