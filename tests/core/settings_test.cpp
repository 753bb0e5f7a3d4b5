// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/paths.h"
#include "util/codepage.h"
#include "util/text.h"

namespace af {
namespace {

namespace fs = std::filesystem;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("af_settings_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    set_program_directory(dir_.string());
  }
  void TearDown() override {
    set_program_directory({});
    fs::remove_all(dir_);
  }
  std::string content() {
    std::ifstream in(settings_path(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void write(const std::string& text) { std::ofstream(settings_path(), std::ios::binary) << text; }
  fs::path dir_;
};

TEST_F(SettingsTest, MissingFileGivesDefaultAndCreatesNothing) {
  EXPECT_EQ(read_setting(settings_section(), record_key(), "0"), "0");
  EXPECT_FALSE(option_enabled(record_key()));
  EXPECT_FALSE(option_enabled(range_key()));
  EXPECT_FALSE(fs::exists(settings_path()));
}

TEST_F(SettingsTest, OnlyOneMeansOn) {
  write("[" + settings_section() + "]\r\n" + record_key() + "=1\r\n" + range_key() + "=yes\r\n");
  EXPECT_TRUE(option_enabled(record_key()));
  EXPECT_FALSE(option_enabled(range_key()));
  for (const char* value : {"", "0", "11", "true", " 1x"}) {
    write("[" + settings_section() + "]\r\n" + record_key() + "=" + value + "\r\n");
    EXPECT_FALSE(option_enabled(record_key())) << value;
  }
}

TEST_F(SettingsTest, JobsAreAWholeNumberFromOneToEight) {
  EXPECT_EQ(jobs_option(), 1);  // no file
  const struct {
    const char* stored;
    int jobs;
  } cases[] = {{"1", 1},
               {"4", 4},
               {"8", 8},
               {"9", 8},
               {"0", 1},
               {"-3", 1},
               {"", 1},
               {"abc", 1},
               {"4x", 1},
               {"99999999999999999999", 8},
               {"-99999999999999999999", 1}};
  for (const auto& c : cases) {
    write("[" + settings_section() + "]\r\n" + jobs_key() + "=" + c.stored + "\r\n");
    EXPECT_EQ(jobs_option(), c.jobs) << c.stored;
  }
  write_setting(settings_section(), jobs_key(), "5");
  EXPECT_EQ(jobs_option(), 5);
  EXPECT_NE(content().find(G("同时下载") + "=5\r\n"), std::string::npos);
}

// The range's dates: one that is missing or not a date reads as its default, and a pair
// that leaves no day between its midnights reads as both defaults.
TEST_F(SettingsTest, RangeDatesReadAsTheirDefaultsUnlessStoredAsARange) {
  const DateTime start = kRangeStartDefault, end = range_end_default();
  const struct {
    std::string stored;
    DateTime start, end;
  } cases[] = {{"2013-04-01;2013-04-05", {2013, 4, 1}, {2013, 4, 5}}, {"2013-04-01", {2013, 4, 1}, end},
               {"2013-02-29;2013-04-05", start, {2013, 4, 5}},       {"1969-12-31;tomorrow", start, end},
               {"2013-04-05;2013-04-05", start, end},                {"2013-04-06;2013-04-05", start, end},
               {"9999-12-30", start, end}};
  for (const auto& c : cases) {
    const auto dates = split_text(c.stored, ";");
    write("[" + settings_section() + "]\r\n" + range_start_key() + "=" + dates[0] + "\r\n" +
          (dates.size() > 1 ? range_end_key() + "=" + dates[1] + "\r\n" : ""));
    const Settings settings = load_settings();
    EXPECT_TRUE(settings.range_start == c.start && settings.range_end == c.end) << c.stored;
  }
}

TEST_F(SettingsTest, WriteCreatesFileSectionAndKeyInGbkWithCrLf) {
  write_setting(settings_section(), range_key(), "1");
  EXPECT_EQ(content(), "[" + settings_section() + "]\r\n" + range_key() + "=1\r\n");
  write_setting(settings_section(), range_key(), "0");
  EXPECT_EQ(content(), "[" + settings_section() + "]\r\n" + range_key() + "=0\r\n");
  EXPECT_FALSE(option_enabled(range_key()));
  EXPECT_FALSE(fs::exists(settings_path() + ".tmp"));
}

TEST_F(SettingsTest, WriteKeepsEveryOtherLine) {
  const std::string before = "; comment\r\n[other]\r\nx=1\r\n\r\n[" + settings_section() + "]\r\n" +
                             record_key() + "=0\r\nextra=keep\r\n\r\n[tail]\r\ny=2\r\n";
  write(before);
  write_setting(settings_section(), record_key(), "1");
  write_setting(settings_section(), range_key(), "1");
  EXPECT_EQ(content(), "; comment\r\n[other]\r\nx=1\r\n\r\n[" + settings_section() + "]\r\n" + record_key() +
                           "=1\r\nextra=keep\r\n" + range_key() + "=1\r\n\r\n[tail]\r\ny=2\r\n");
  EXPECT_EQ(read_setting("other", "x", "d"), "1");
  EXPECT_EQ(read_setting("tail", "missing", "d"), "d");
  EXPECT_EQ(read_setting("nosection", "x", "d"), "d");
}

TEST_F(SettingsTest, FailedWriteIsIgnoredAndKeepsTheFile) {
  write("[" + settings_section() + "]\r\n" + record_key() + "=1\r\n");
  // The temporary file cannot be created where a folder of that name stands.
  fs::create_directories(settings_path() + ".tmp");
  write_setting(settings_section(), record_key(), "0");
  EXPECT_TRUE(option_enabled(record_key()));
  EXPECT_EQ(content(), "[" + settings_section() + "]\r\n" + record_key() + "=1\r\n");
}

TEST_F(SettingsTest, WriteIntoMissingFolderIsIgnored) {
  set_program_directory((dir_ / "missing" / "deeper").string());
  write_setting(settings_section(), record_key(), "1");
  EXPECT_EQ(read_setting(settings_section(), record_key(), "0"), "0");
}

TEST(ProgramDirectory, NoTrailingSeparator) {
  set_program_directory({});
  std::string dir = program_directory();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '/');
  EXPECT_TRUE(fs::is_directory(dir));
  EXPECT_EQ(program_file("peizi.ini"), dir + "/peizi.ini");
}

}  // namespace
}  // namespace af

namespace af {
namespace {

class SettingsFileStateTest : public SettingsTest {};

TEST_F(SettingsFileStateTest, ReadOnlyFileIsLeftAlone) {
  write("[" + settings_section() + "]\r\n" + record_key() + "=1\r\n");
  ::chmod(settings_path().c_str(), 0444);
  write_setting(settings_section(), record_key(), "0");
  EXPECT_TRUE(option_enabled(record_key()));
  ::chmod(settings_path().c_str(), 0644);
}

TEST_F(SettingsFileStateTest, UnreadableFileIsNotReplaced) {
  // A folder where the file should be cannot be read as a file; nothing may replace it.
  fs::create_directories(settings_path());
  write_setting(settings_section(), record_key(), "1");
  EXPECT_TRUE(fs::is_directory(settings_path()));
}

TEST_F(SettingsFileStateTest, LinkIsWrittenThroughAndModeKept) {
  const auto real = dir_ / "real.ini";
  std::ofstream(real, std::ios::binary) << "[x]\r\ny=2\r\n";
  ::chmod(real.c_str(), 0600);
  fs::create_symlink(real, settings_path());
  write_setting(settings_section(), range_key(), "1");
  EXPECT_TRUE(fs::is_symlink(settings_path()));
  EXPECT_TRUE(option_enabled(range_key()));
  EXPECT_EQ(read_setting("x", "y", ""), "2");
  struct stat st {};
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// An installed program keeps its files per user, even as root who could write beside it.
TEST(ProgramDirectory, SystemFoldersAreWhereInstalledProgramsLive) {
  const std::pair<const char*, bool> cases[] = {{"/usr/bin", true},
                                                {"/usr/local/bin", true},
                                                {"/usr/bin/", true},
                                                {"/bin", true},
                                                {"/sbin", true},
                                                {"/usr/local/../bin", true},
                                                {"/usr", false},
                                                {"/usr/bin/tools", false},
                                                {"/usr/binary", false},
                                                {"/home/me/af", false},
                                                {"/usr/src/af/build/release/src", false}};
  for (const auto& [directory, system] : cases)
    EXPECT_EQ(is_system_directory(directory), system) << directory;
}

}  // namespace
}  // namespace af
