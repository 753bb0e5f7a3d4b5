// SPDX-License-Identifier: GPL-3.0-or-later
#include "http/firefox_cookies.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "download/temp_folder.h"

namespace af {
namespace {

// The profile folder that "firefox:<asked>" names, chosen as Firefox chooses it.
TEST(FirefoxProfiles, AreFoundAsFirefoxFindsThem) {
  const std::string two =
      "[Profile1]\nName=default\nIsRelative=1\nPath=Profiles/a\nDefault=1\n\n"
      "[Profile0]\nName=work\nIsRelative=1\nPath=Profiles/b\n\n[General]\nVersion=2\n";
  const std::string install = "[Install4F96D1932A9F858E]\nDefault=Profiles/b\nLocked=1\n\n";
  const std::string debian = "/.mozilla/firefox";
  const struct {
    std::string folder;  // the Firefox folder under the home ("": none), with Profiles/a and Profiles/b
    std::string ini;
    std::string asked;  // "HOME" stands for the home folder
    std::string found;  // the profile folder under the home, or what the error says
  } cases[] = {
      {debian, install + two, "", debian + "/Profiles/b"},
      {debian, two, "", debian + "/Profiles/a"},
      {"/snap/firefox/common/.mozilla/firefox", two, "work",
       "/snap/firefox/common/.mozilla/firefox/Profiles/b"},
      {"/.var/app/org.mozilla.firefox/.mozilla/firefox", two, "",
       "/.var/app/org.mozilla.firefox/.mozilla/firefox/Profiles/a"},
      {debian, two, "HOME/.mozilla/firefox/Profiles/b", debian + "/Profiles/b"},
      {debian, two, "HOME/gone", "the profile folder "},
      {debian, "[Profile0]\nPath=Profiles/a\n\n[Profile1]\nPath=Profiles/b\n", "",
       "names no default profile"},
      {"", "", "", "no Firefox profile found: none of "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder + " " + c.asked);
    testing::TempFolder home;
    if (!c.folder.empty()) {
      for (const char* profile : {"/Profiles/a", "/Profiles/b"})
        std::filesystem::create_directories(home.path() + c.folder + profile);
      testing::write_file(home.path() + c.folder + "/profiles.ini", c.ini);
    }
    std::string asked = c.asked;
    if (asked.rfind("HOME", 0) == 0) asked.replace(0, 4, home.path());
    std::string error;
    const std::optional<std::string> found = find_firefox_profile(home.path(), asked, error);
    if (c.found.rfind("/", 0) == 0)
      EXPECT_EQ(found.value_or(error), home.path() + c.found);
    else
      EXPECT_NE(error.find(c.found), std::string::npos) << found.value_or(error);
  }
}

}  // namespace
}  // namespace af
