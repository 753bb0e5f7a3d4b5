// SPDX-License-Identifier: GPL-3.0-or-later
// albumfetcher-cli and the disk: --save-dir kept byte for byte, a save folder that cannot
// be written (a file; a folder the user may not write, run as an unprivileged user), and a
// record that cannot be used with --record on: each said on standard error, exit status 1.
#include <sys/stat.h>

#include <cstdlib>

#include "cli_fixture.h"

namespace aftest::cli {
namespace {

using afsample::make_album;
using afsample::make_user;
namespace fs = std::filesystem;

class CliStorageTest : public CliTest {};

TEST_F(CliStorageTest, ASaveDirBeyondGbkReceivesThePhotos) {
  auto user = make_user("2101", "/u/2101", "T");
  user.albums.push_back(make_album("3558936321000001", "A", 3));
  service().add_user(user);
  const std::string folder = save_.file("s\xC3\xB8ren \xF0\x9F\x93\xB7");
  std::vector<std::string> args = base_args();
  args.insert(args.end(), {"--save-dir", folder, home(user)});
  const CliResult result = run(args);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const auto files = files_under(save_.path());
  EXPECT_EQ(files.size(), 3u);
  for (const auto& [name, bytes] : files)
    EXPECT_EQ(name.rfind("s\xC3\xB8ren \xF0\x9F\x93\xB7/T/A3/", 0), 0u) << name;
}

TEST_F(CliStorageTest, ASaveDirThatIsAFileStopsAtOnceWithOne) {
  auto user = make_user("2102", "/u/2102", "T");
  user.albums.push_back(make_album("3558936321000002", "A", 3));
  service().add_user(user);
  const std::string file = save_.file("file");
  write_file(file, "x");
  std::vector<std::string> args = base_args();
  args.insert(args.end(), {"--save-dir", file, home(user)});
  const CliResult result = run(args);
  EXPECT_EQ(result.exit_code, 1) << result.err;
  EXPECT_NE(result.err.find("保存失败，下载已停止：" + file + "/T/A3，原因：保存位置不是文件夹"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(image_requests(), 0u);
  EXPECT_EQ(result.out.find("全部下载完毕"), std::string::npos) << result.out;
}

// The tests run as root, whom permissions do not stop: these run the program as "nobody".
class CliAsNobodyTest : public CliStorageTest {
 protected:
  void SetUp() override {
    CliStorageTest::SetUp();
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
    ::chmod(save_.path().c_str(), 0777);
    ::chmod(program_.path().c_str(), 0777);
  }
  // Runs the program as nobody with base_args(), then `args`; the exit status (124 when it
  // was still running after two minutes).
  int run_as_nobody(const std::vector<std::string>& args, std::string& err) {
    std::string command =
        "timeout -k 10 120 /usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(AF_CLI_PATH);
    std::vector<std::string> all = base_args();
    all.insert(all.end(), args.begin(), args.end());
    for (const auto& arg : all) command += " '" + arg + "'";
    command += " >'" + output_.file("out") + "' 2>'" + output_.file("err") + "'";
    const int status = std::system(command.c_str());
    err = read_file(output_.file("err"));
    EXPECT_NE(err.find("setpriv"), 0u) << err;  // the program ran
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_F(CliAsNobodyTest, AFolderTheUserMayNotWriteStopsAtOnceWithOne) {
  auto user = make_user("2103", "/u/2103", "T");
  user.albums.push_back(make_album("3558936321000003", "A", 3));
  service().add_user(user);
  const std::string locked = save_.file("locked");
  fs::create_directory(locked);
  ::chmod(locked.c_str(), 0555);
  std::string err;
  EXPECT_EQ(run_as_nobody({"--save-dir", locked, home(user)}, err), 1) << err;
  EXPECT_NE(err.find("保存失败，下载已停止：" + locked + "/T/A3，原因：没有写入权限"), std::string::npos)
      << err;
  EXPECT_EQ(image_requests(), 0u);
  EXPECT_TRUE(files_under(locked).empty());
}

// A program directory the user may not write, and no per-user directory to fall back to:
// the photos are saved, the record's failure is said, and with the record on the exit
// status is 1.
TEST_F(CliAsNobodyTest, AnUnwritableProgramDirectoryIsSaidAndExitsWithOne) {
  auto user = make_user("2106", "/u/2106", "T");
  user.albums.push_back(make_album("3558936321000006", "A", 2));
  service().add_user(user);
  ::chmod(program_.path().c_str(), 0555);
  std::string err;
  EXPECT_EQ(run_as_nobody({"--save-dir", save_.path(), "--record", "on", home(user)}, err), 1) << err;
  EXPECT_NE(err.find("下载记录无法使用：" + program_.file("2106.dlr") + "，原因："), std::string::npos)
      << err;
  EXPECT_EQ(files_under(save_.path()).size(), 2u);
  EXPECT_FALSE(fs::exists(program_.file("2106.dlr")));
}

TEST_F(CliStorageTest, AnUnusableRecordIsSaidAndWithRecordOnExitsWithOne) {
  auto user = make_user("2104", "/u/2104", "T");
  user.albums.push_back(make_album("3558936321000004", "A", 2));
  service().add_user(user);
  fs::create_directory(program_.file("2104.dlr"));
  for (const char* record : {"on", "off"}) {
    SCOPED_TRACE(record);
    fs::remove_all(save_.file("T"));
    const CliResult result = run_with({"--record", record, home(user)});
    EXPECT_EQ(result.exit_code, std::string(record) == "on" ? 1 : 0) << result.err;
    EXPECT_NE(result.err.find("下载记录无法使用：" + program_.file("2104.dlr") + "，原因："),
              std::string::npos)
        << result.err;
    EXPECT_EQ(files_under(save_.path()).size(), 2u);
  }
}

TEST_F(CliStorageTest, AForeignRecordIsSetAsideAndSaid) {
  auto user = make_user("2105", "/u/2105", "T");
  user.albums.push_back(make_album("3558936321000005", "A", 2));
  service().add_user(user);
  write_file(program_.file("2105.dlr"), std::string(3000, 'Q'));
  const CliResult result = run_with({"--record", "on", home(user)});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.err.find("已改名为" + program_.file("2105.dlr.set-aside")), std::string::npos)
      << result.err;
  EXPECT_EQ(read_file(program_.file("2105.dlr.set-aside")), std::string(3000, 'Q'));
}

}  // namespace
}  // namespace aftest::cli
