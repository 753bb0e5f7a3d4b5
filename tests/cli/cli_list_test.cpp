// SPDX-License-Identifier: GPL-3.0-or-later
// albumfetcher-cli: the album table of --list, the arguments it refuses, --help, and the
// exit statuses of a user or list that cannot be had.
#include "cli_fixture.h"

namespace aftest::cli {
namespace {

using afsample::make_album;
using afsample::make_user;

class CliListTest : public CliTest {};

TEST_F(CliListTest, ListPrintsTheLogAndTheTableOfAlbumsWithPhotos) {
  auto user = make_user("1001", "/u/1001", "Someone");
  user.albums.push_back(make_album("3558936301000001", "\xE6\x97\x85\xE8\xA1\x8C", 3));  // 旅行
  user.albums.push_back(make_album("3558936301000002", "Empty", 0));
  user.albums.push_back(make_album("3558936301000003", "Walks outside", 12));
  service().add_user(user);

  const CliResult result = run_with({"--list", home(user)});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "正努力获取相册列表，耐心等待哈！\n\n" + std::string(kSignedOutNote) +
                "-----获取完毕,共计2个\n\n"
            "序号\t相册名称\t图片数量\n"
            "1\t旅行\t3\n"
            "2\tWalks outside\t12\n");
  EXPECT_NE(result.err.find("相册列表获取完毕,共计2个"), std::string::npos) << result.err;
  // Nothing downloaded, nothing written.
  EXPECT_TRUE(service().requests_to("/photos/get_all").empty());
  EXPECT_TRUE(files_under(save_.path()).empty());
  EXPECT_FALSE(std::filesystem::exists(program_.file("peizi.ini")));
}

TEST_F(CliListTest, AddressWithoutSchemeIsNormalizedLikeTheWindow) {
  auto user = make_user("1002", "/u/1002", "T");
  user.albums.push_back(make_album("3558936302000001", "A", 2));
  service().add_user(user);

  const std::string address = "  " + service().host() + user.path + "  ";
  const CliResult result = run_with({"--list", address});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("1\tA\t2\n"), std::string::npos) << result.out;
}

TEST_F(CliListTest, UnresolvedUserExitsWithOne) {
  const CliResult result = run_with({"--list", base() + "/no/such/page"});
  EXPECT_EQ(result.exit_code, 1) << result.err;
  EXPECT_EQ(result.out.find("序号"), std::string::npos) << result.out;
  // The page answers 404: said as such, not as a page without a user id.
  EXPECT_NE(result.err.find("用户主页获取失败：服务器回答 HTTP 404"), std::string::npos) << result.err;
}

TEST_F(CliListTest, EmptyAlbumListShowsTheMessageAndExitsWithOne) {
  service().add_user(make_user("1003", "/u/1003", "Nobody"));

  for (const bool list : {true, false}) {
    SCOPED_TRACE(list ? "--list" : "download");
    CliResult result = list ? run_with({"--list", base() + "/u/1003"}) : run_with({base() + "/u/1003"});
    EXPECT_EQ(result.exit_code, 1) << result.err;
    EXPECT_NE(result.err.find("温馨提示：获取到相册个数为：0"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "正努力获取相册列表，耐心等待哈！\n\n" + std::string(kSignedOutNote));
  }
  EXPECT_EQ(image_requests(), 0u);
}

TEST_F(CliListTest, UnreachableServiceExitsWithOne) {
  // A port that was just free: nothing listens there.
  std::string dead;
  {
    afsample::SampleService gone;
    dead = gone.base_url();
  }
  std::vector<std::string> args = {"--program-dir", program_.path(), "--pace-factor", "0",
                                   "--service-base", dead, "--list", dead + "/u/1"};
  const CliResult result = run(args);
  EXPECT_EQ(result.exit_code, 1) << result.err;
}

struct BadArguments {
  const char* name;
  std::vector<std::string> args;  // after the fixture's base arguments
};

class CliArgumentTest : public CliTest, public ::testing::WithParamInterface<BadArguments> {};

TEST_P(CliArgumentTest, WrongArgumentsExitWithTwoBeforeAnyRequest) {
  auto user = make_user("1004", "/u/1004", "T");
  user.albums.push_back(make_album("3558936304000001", "A", 2));
  service().add_user(user);
  std::vector<std::string> args = base_args();
  for (const auto& a : GetParam().args) args.push_back(a == "HOME" ? home(user) : a);

  const CliResult result = run(args);
  EXPECT_EQ(result.exit_code, 2) << result.err;
  EXPECT_TRUE(result.out.empty()) << result.out;
  EXPECT_NE(result.err.find("albumfetcher-cli: "), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("--help"), std::string::npos) << result.err;
  EXPECT_TRUE(service().requests().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliArgumentTest,
    ::testing::Values(
        BadArguments{"NoAddress", {}},
        BadArguments{"BlankAddress", {"   "}},
        BadArguments{"RepairWithoutVerify", {"--repair", "HOME"}},
        BadArguments{"VerifyWithAnAddress", {"--verify", ".", "HOME"}},
        BadArguments{"VerifyWithoutFolder", {"--verify="}},
        BadArguments{"UnknownOption", {"--colour", "HOME"}},
        BadArguments{"RecordWord", {"--record", "yes", "HOME"}},
        BadArguments{"RecordMissingValue", {"HOME", "--record"}},
        BadArguments{"RangeOneDate", {"HOME", "--range", "2013-04-04"}},
        BadArguments{"RangeNoDay", {"--range", "2013-02-29", "2013-03-01", "HOME"}},
        BadArguments{"RangeShape", {"--range", "2013-4-4", "2013-04-05", "HOME"}},
        BadArguments{"RangeMonth", {"--range", "2013-13-01", "2014-01-01", "HOME"}},
        BadArguments{"RangeInverted", {"--range", "2013-04-05", "2013-04-01", "HOME"}},
        BadArguments{"RangeEndIsStart", {"--range", "2013-04-05", "2013-04-05", "HOME"}},
        BadArguments{"AlbumsZero", {"--albums", "0", "HOME"}},
        BadArguments{"AlbumsWord", {"--albums", "first", "HOME"}},
        BadArguments{"AlbumsEmptyPiece", {"--albums", "1,,2", "HOME"}},
        BadArguments{"AlbumsNegative", {"--albums", "-1", "HOME"}},
        BadArguments{"ServiceBaseScheme", {"--service-base", "ftp://127.0.0.1", "HOME"}},
        BadArguments{"PaceFactorWord", {"--pace-factor", "fast", "HOME"}},
        BadArguments{"JobsZero", {"--jobs", "0", "HOME"}},
        BadArguments{"JobsNine", {"--jobs", "9", "HOME"}},
        BadArguments{"JobsWord", {"--jobs", "many", "HOME"}},
        BadArguments{"JobsMissingValue", {"HOME", "--jobs"}},
        BadArguments{"ListTakesNoValue", {"--list=yes", "HOME"}},
        BadArguments{"SaveDirMissingValue", {"HOME", "--save-dir"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliListTest, ASerialTheListLacksExitsWithTwoAndDownloadsNothing) {
  auto user = make_user("1005", "/u/1005", "T");
  user.albums.push_back(make_album("3558936305000001", "A", 2));
  user.albums.push_back(make_album("3558936305000002", "B", 2));
  service().add_user(user);

  const CliResult result = run_with({"--albums", "2,3", home(user)});
  EXPECT_EQ(result.exit_code, 2) << result.err;
  EXPECT_NE(result.err.find("no album 3"), std::string::npos) << result.err;
  EXPECT_EQ(image_requests(), 0u);
  EXPECT_TRUE(files_under(save_.path()).empty());
}

// A cookie file that cannot be read is a wrong argument: said with its cause, no request,
// and the window's own cookies are not taken instead.
TEST_F(CliListTest, UnreadableCookieFileExitsWithTwo) {
  auto user = make_user("1006", "/u/1006", "T");
  user.albums.push_back(make_album("3558936306000001", "A", 2));
  service().add_user(user);
  write_file(program_.file("a file"), "");
  const std::pair<std::string, const char*> cases[] = {
      {program_.file("missing.txt"), "No such file"},
      {program_.path(), "it is a folder"},
      {program_.file("a file") + "/cookies.txt", "Not a directory"}};
  for (const auto& [path, cause] : cases) {
    const CliResult result = run_with({"--cookies", path, "--list", home(user)});
    EXPECT_EQ(result.exit_code, 2) << result.err;
    EXPECT_NE(
        result.err.find("albumfetcher-cli: --cookies " + path + ": cannot read the cookie file: " + cause),
        std::string::npos)
        << result.err;
    EXPECT_TRUE(result.out.empty()) << result.out;
  }
  EXPECT_TRUE(service().requests().empty());
  EXPECT_FALSE(std::filesystem::exists(program_.file("cookies.txt")));
}

TEST_F(CliListTest, HelpNamesEveryOptionAndTheExitStatuses) {
  const CliResult result = run({"--help"});
  EXPECT_EQ(result.exit_code, 0);
  for (const char* word : {"HOME_PAGE_ADDRESS", "--list", "--albums", "--save-dir", "--record", "--range",
                           "--cookies", "--service-base", "--program-dir", "--pace-factor", "--jobs", "SIGINT",
                           "Exit status"})
    EXPECT_NE(result.out.find(word), std::string::npos) << word;
  EXPECT_TRUE(service().requests().empty());
}

}  // namespace
}  // namespace aftest::cli
