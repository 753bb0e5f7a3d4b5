// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/record_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "core/paths.h"
#include "support/bounded_wait.h"
#include "temp_folder.h"
#include "util/codepage.h"

namespace af {
namespace {

using testing::TempFolder;

// The ids in the file, in append order, read with SQLite directly.
std::vector<std::string> stored_ids(const std::string& path) {
  std::vector<std::string> ids;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT photo_id FROM record ORDER BY rowid", -1, &statement, nullptr) ==
        SQLITE_OK) {
      while (sqlite3_step(statement) == SQLITE_ROW)
        ids.emplace_back(static_cast<const char*>(sqlite3_column_blob(statement, 0)),
                         static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return ids;
}

std::string integrity(const std::string& path) {
  sqlite3* db = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
      result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return result;
}

TEST(RecordStorePath, IsTheUserIdWithDlrInTheProgramDirectory) {
  TempFolder folder;
  folder.use_as_program_directory();
  EXPECT_EQ(record_store_path("1234567890"), folder.file("1234567890.dlr"));
}

// An id cut from a page is meant to be digits; whatever else it holds, its record (and
// SQLite's side files) stays inside the program directory.
TEST(RecordStorePath, AnIdThatIsNotPlainStaysInsideTheProgramDirectory) {
  namespace fs = std::filesystem;
  TempFolder outer;
  const std::string program = outer.file("a/b/program");
  fs::create_directories(program);
  set_program_directory(program);
  const std::vector<std::string> ids = {
      "../../x", "../x", "a/b",       "/etc/x",    "..",
      ".",       "",     "..\\..\\x", "x/../../y", std::string(300, '.') + "/z",
      G("用户")};
  std::set<std::string> stems;
  for (const auto& id : ids) {
    const std::string stem = record_file_stem(id);
    EXPECT_FALSE(stem.empty()) << id;
    EXPECT_NE(stem, ".");
    EXPECT_NE(stem, "..");
    EXPECT_EQ(stem.find_first_of("/\\"), std::string::npos) << id;
    EXPECT_LE(stem.size() + 4, 255u) << id;
    stems.insert(stem);
    const std::string path = record_store_path(id);
    EXPECT_EQ(fs::path(path).parent_path(), fs::path(program)) << id;
    ASSERT_TRUE(DownloadRecord::create_record_store(path)) << id;
    DownloadRecord record;
    ASSERT_TRUE(record.open_record_store(path)) << id;
    EXPECT_TRUE(record.add_record("7"));
    EXPECT_TRUE(record.is_recorded("7"));
  }
  EXPECT_EQ(stems.size(), ids.size());  // different ids never share a record
  // Nothing was made anywhere but in the program directory.
  for (const auto& entry : fs::recursive_directory_iterator(outer.path())) {
    if (entry.is_directory()) continue;
    EXPECT_EQ(entry.path().parent_path(), fs::path(program)) << entry.path();
  }
  set_program_directory("");
}

TEST(RecordStorePath, PlainIdsAreKeptAsTheyAre) {
  for (const char* id : {"1234567890", "abc_DEF-9"}) EXPECT_EQ(record_file_stem(id), id);
  EXPECT_NE(record_file_stem("a.b"), record_file_stem("a_b"));
}

TEST(RecordStore, CreateMakesTheFileOnlyWhenMissing) {
  TempFolder folder;
  const std::string path = folder.file("1.dlr");
  ASSERT_TRUE(DownloadRecord::create_record_store(path));
  ASSERT_TRUE(std::filesystem::exists(path));
  {
    DownloadRecord record;
    ASSERT_TRUE(record.open_record_store(path));
    ASSERT_TRUE(record.add_record("3558936301234567"));
  }
  // A second creation keeps what the file holds.
  ASSERT_TRUE(DownloadRecord::create_record_store(path));
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(path));
  EXPECT_TRUE(record.is_recorded("3558936301234567"));
}

TEST(RecordStore, EmptyRecordFindsNothing) {
  TempFolder folder;
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(folder.file("1.dlr")));
  EXPECT_FALSE(record.is_recorded("1"));
  EXPECT_FALSE(record.is_recorded(""));
}

TEST(RecordStore, LookupConsultsTheWholeRecordAfterAppends) {
  TempFolder folder;
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(folder.file("1.dlr")));
  for (const char* id : {"101", "102", "103"}) ASSERT_TRUE(record.add_record(id));
  // Each id recorded before the last append is still found.
  EXPECT_TRUE(record.is_recorded("101"));
  EXPECT_TRUE(record.is_recorded("103"));
  EXPECT_TRUE(record.is_recorded("102"));
  EXPECT_TRUE(record.is_recorded("101"));
  EXPECT_FALSE(record.is_recorded("104"));
}

TEST(RecordStore, AnIdIsKeptOnceAndIdsStayInAppendOrder) {
  TempFolder folder;
  const std::string path = folder.file("1.dlr");
  {
    DownloadRecord record;
    ASSERT_TRUE(record.open_record_store(path));
    for (const char* id : {"30", "10", "20", "10", "30"}) record.add_record(id);
    record.close_record_store();
    EXPECT_FALSE(record.is_open());
  }
  EXPECT_EQ(stored_ids(path), (std::vector<std::string>{"30", "10", "20"}));
}

// Held ids count as recorded at once for the download that holds them; the file gains
// them only with the group's commit, in one append, in the order held.
TEST(RecordStore, AGroupIsFoundWhileHeldAndWrittenByItsCommit) {
  TempFolder folder;
  const std::string path = folder.file("1.dlr");
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(path));
  ASSERT_TRUE(record.add_record("1"));
  for (const char* id : {"30", "10", "30", "20"}) record.hold(id);
  EXPECT_TRUE(record.is_recorded("10") && record.is_recorded("30") && record.is_recorded("1"));
  EXPECT_EQ(stored_ids(path), std::vector<std::string>{"1"});
  ASSERT_TRUE(record.stage_group());
  ASSERT_TRUE(record.commit_staged());
  EXPECT_TRUE(record.sync_log());
  EXPECT_FALSE(record.holds_any());
  EXPECT_EQ(stored_ids(path), (std::vector<std::string>{"1", "30", "10", "20"}));
  // A group closed without its commit is forgotten: its photos are fetched again.
  record.hold("40");
  record.close_record_store();
  ASSERT_TRUE(record.open_record_store(path));
  EXPECT_FALSE(record.is_recorded("40"));
  EXPECT_EQ(integrity(path), "ok");
}

TEST(RecordStore, ComparisonIsExactBytes) {
  TempFolder folder;
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(folder.file("1.dlr")));
  const std::string gbk_id = G("相册") + "7";
  ASSERT_TRUE(record.add_record("abc"));
  ASSERT_TRUE(record.add_record(gbk_id));
  struct Case {
    std::string id;
    bool found;
  };
  const Case cases[] = {{"abc", true}, {"ABC", false}, {"abc ", false},   {" abc", false},
                        {"ab", false}, {gbk_id, true}, {G("相册"), false}};
  for (const auto& c : cases) EXPECT_EQ(record.is_recorded(c.id), c.found) << c.id;
}

TEST(RecordStore, LongIdsAreKeptWhole) {
  TempFolder folder;
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(folder.file("1.dlr")));
  const std::string long_id(64, '7');
  ASSERT_TRUE(record.add_record(long_id));
  EXPECT_TRUE(record.is_recorded(long_id));
  EXPECT_FALSE(record.is_recorded(long_id.substr(0, 20)));
}

TEST(RecordStore, SurvivesCloseAndReopen) {
  TempFolder folder;
  const std::string path = folder.file("1.dlr");
  {
    DownloadRecord record;
    ASSERT_TRUE(record.open_record_store(path));
    record.add_record("1");
  }
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(path));
  EXPECT_TRUE(record.is_recorded("1"));
  // Moving hands the open table over.
  DownloadRecord moved = std::move(record);
  EXPECT_TRUE(moved.is_recorded("1"));
  EXPECT_FALSE(record.is_open());  // NOLINT(bugprone-use-after-move): moved-from is empty
}

TEST(RecordStore, UsersHaveSeparateFiles) {
  TempFolder folder;
  folder.use_as_program_directory();
  DownloadRecord::create_record_store(record_store_path("111"));
  DownloadRecord::create_record_store(record_store_path("222"));
  {
    DownloadRecord record;
    ASSERT_TRUE(record.open_record_store(record_store_path("111")));
    record.add_record("5");
  }
  DownloadRecord other;
  ASSERT_TRUE(other.open_record_store(record_store_path("222")));
  EXPECT_FALSE(other.is_recorded("5"));
}

// Files that are no record: each is renamed with a suffix (its bytes kept) and a fresh
// record takes its place, which the notices say.
struct NotARecordCase {
  const char* what;
  void (*make)(const std::string& path);
};

void run_sql(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
}

// A record of 3000 ids whose schema page is then overwritten.
void damaged_record(const std::string& path) {
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(path));
  for (int i = 0; i < 3000; ++i) record.add_record(std::to_string(i));
  record.close_record_store();
  std::string bytes = testing::read_file(path);
  ASSERT_GT(bytes.size(), 4096u);
  for (std::size_t i = 100; i < 4096; ++i) bytes[i] = static_cast<char>(0xA5);
  testing::write_file(path, bytes);
}

class NotARecord : public ::testing::TestWithParam<NotARecordCase> {};

TEST_P(NotARecord, IsSetAsideAndAFreshRecordStarts) {
  for (const bool at_creation : {true, false}) {
    SCOPED_TRACE(at_creation ? "created at the start" : "opened for an album");
    TempFolder folder;
    const std::string path = folder.file("1.dlr");
    GetParam().make(path);
    const std::string original = testing::read_file(path);
    std::vector<RecordNotice> notices;
    DownloadRecord record;
    if (at_creation) {
      ASSERT_TRUE(DownloadRecord::create_record_store(path, notices));
      ASSERT_TRUE(record.open_record_store(path));
    } else {
      ASSERT_TRUE(record.open_record_store(path));
      notices = record.take_notices();
    }
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_TRUE(notices[0].usable);
    EXPECT_EQ(notices[0].text.rfind(G("下载记录文件无法读取"), 0), 0u) << notices[0].text;
    EXPECT_NE(notices[0].text.find(path + ".set-aside"), std::string::npos);
    EXPECT_EQ(testing::read_file(path + ".set-aside"), original);
    EXPECT_FALSE(record.is_recorded("1"));
    EXPECT_TRUE(record.add_record("1"));
    EXPECT_TRUE(record.is_recorded("1"));
    EXPECT_TRUE(record.take_notices().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, NotARecord,
    ::testing::Values(
        NotARecordCase{"text", [](const std::string& p) { testing::write_file(p, std::string(4096, 'Z')); }},
        NotARecordCase{
            "another program's database",
            [](const std::string& p) { run_sql(p, "CREATE TABLE photos (id INTEGER, data BLOB);"); }},
        NotARecordCase{"a table of that name without photo_id",
                       [](const std::string& p) { run_sql(p, "CREATE TABLE record (x INTEGER);"); }},
        NotARecordCase{"a damaged record", damaged_record}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(RecordStore, ASecondFileSetAsideKeepsTheFirst) {
  TempFolder folder;
  const std::string path = folder.file("1.dlr");
  testing::write_file(path, std::string(4096, 'A'));
  ASSERT_TRUE(DownloadRecord::create_record_store(path));
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
  testing::write_file(path, std::string(4096, 'B'));
  ASSERT_TRUE(DownloadRecord::create_record_store(path));
  EXPECT_EQ(testing::read_file(path + ".set-aside"), std::string(4096, 'A'));
  EXPECT_EQ(testing::read_file(path + ".set-aside-2"), std::string(4096, 'B'));
}

// Damage below the schema shows only when a lookup reaches it: the next append sets the
// file aside and goes on in a fresh record.
TEST(RecordStore, DamageFoundByALookupIsSetAsideAtTheNextAppend) {
  TempFolder folder;
  const std::string path = folder.file("1.dlr");
  {
    DownloadRecord record;
    ASSERT_TRUE(record.open_record_store(path));
    for (int i = 0; i < 3000; ++i) record.add_record(std::to_string(100000 + i));
  }
  std::string bytes = testing::read_file(path);
  ASSERT_GT(bytes.size(), 3 * 4096u);
  for (std::size_t i = 4096; i < bytes.size(); ++i) bytes[i] = static_cast<char>(0xA5);
  testing::write_file(path, bytes);
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(path));
  EXPECT_FALSE(record.is_recorded("100001"));
  EXPECT_TRUE(record.add_record("7"));
  EXPECT_TRUE(record.is_recorded("7"));
  const auto notices = record.take_notices();
  ASSERT_FALSE(notices.empty());
  EXPECT_TRUE(notices[0].usable);
  EXPECT_EQ(testing::read_file(path + ".set-aside"), bytes);
}

TEST(RecordStore, AFolderInItsPlaceIsUnusableAndSaysWhy) {
  TempFolder folder;
  const std::string path = folder.file("1.dlr");
  std::filesystem::create_directory(path);
  std::vector<RecordNotice> notices;
  EXPECT_FALSE(DownloadRecord::create_record_store(path, notices));
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_FALSE(notices[0].usable);
  EXPECT_EQ(notices[0].text.rfind(G("下载记录无法使用：") + path + G("，原因："), 0), 0u) << notices[0].text;
  DownloadRecord record;
  EXPECT_FALSE(record.open_record_store(path));
  EXPECT_FALSE(record.add_record("1"));
  EXPECT_FALSE(record.take_notices().empty());
  EXPECT_TRUE(std::filesystem::is_directory(path));  // never removed
}

TEST(RecordStore, UnreachableFileAnswersNotRecorded) {
  TempFolder folder;
  DownloadRecord record;
  const std::string path = folder.file("no such folder/1.dlr");
  EXPECT_FALSE(DownloadRecord::create_record_store(path));
  EXPECT_FALSE(record.open_record_store(path));
  EXPECT_FALSE(record.is_recorded("1"));
  EXPECT_FALSE(record.add_record("1"));
}

TEST(RecordStore, MissingFileAtOpenIsMadeAnew) {
  TempFolder folder;
  const std::string path = folder.file("1.dlr");
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(path));
  EXPECT_TRUE(record.add_record("9"));
  EXPECT_TRUE(record.is_recorded("9"));
}

// A process killed while it appends leaves a file that opens, passes SQLite's integrity
// check and holds an unbroken prefix of what was appended. The appender is this program
// started again, alone, as the child below.
TEST(RecordStore, KilledWhileAppendingLeavesAReadableRecord) {
  TempFolder folder;
  const std::string path = folder.file("1.dlr");
  ASSERT_TRUE(DownloadRecord::create_record_store(path));
  for (int round = 0; round < 3; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    ::fcntl(ready[1], F_SETFD, 0);  // the child's end survives its exec
    auto child = aftest::Child::rerun("DISABLED_RecordStoreChild.AppendsUntilKilled",
                                      {"AF_RECORD_PATH=" + path, "AF_RECORD_ROUND=" + std::to_string(round),
                                       "AF_RECORD_READY_FD=" + std::to_string(ready[1])});
    ::close(ready[1]);
    const bool signalled = aftest::Child::read_signal(ready[0]);
    ::close(ready[0]);
    ASSERT_TRUE(signalled) << "the appending child never reported 51 appends";
    ::usleep(1000 * (round * 7 % 5));  // killed at a varying moment after that
    ASSERT_TRUE(aftest::killed_by(child.kill(), SIGKILL)) << "the appending child ended by itself";

    EXPECT_EQ(integrity(path), "ok");
    DownloadRecord record;
    ASSERT_TRUE(record.open_record_store(path));
    auto ids = stored_ids(path);
    std::size_t this_round = 0;
    for (const auto& id : ids)
      if (std::stoll(id) / 1000000 == round) {
        EXPECT_EQ(id, std::to_string(round * 1000000 + static_cast<int>(this_round)));
        ++this_round;
      }
    EXPECT_GE(this_round, 51u);
  }
}

// The appender of the test above, run only as its child.
TEST(DISABLED_RecordStoreChild, AppendsUntilKilled) {
  const char* path = std::getenv("AF_RECORD_PATH");
  const char* round_text = std::getenv("AF_RECORD_ROUND");
  const char* fd_text = std::getenv("AF_RECORD_READY_FD");
  ASSERT_TRUE(path && round_text && fd_text);
  const int round = std::atoi(round_text);
  const int ready = std::atoi(fd_text);
  DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(path));
  for (int i = 0;; ++i) {
    record.add_record(std::to_string(round * 1000000 + i));
    if (i == 50) (void)!::write(ready, "x", 1);
  }
}

}  // namespace
}  // namespace af
