// SPDX-License-Identifier: GPL-3.0-or-later
// albumfetcher-cli when the service fails: the cause on standard error and status 1 for
// the home page and the album list; a photo list page that stays bad fails its album, and
// a later run with the record on fetches exactly what is missing.
#include "cli_fixture.h"

namespace aftest::cli {
namespace {

using afsample::make_album;
using afsample::make_user;

class CliFailureTest : public CliTest {};

TEST_F(CliFailureTest, PageThatStaysBadFailsTheAlbumAndARerunFetchesWhatIsMissing) {
  auto user = make_user("2101", "/u/2101", "T");
  user.albums.push_back(make_album("3558936321000001", "A", 150));
  user.albums.push_back(make_album("3558936321000002", "B", 3));
  service().add_user(user);
  afsample::Fault fault = fault_on(afsample::FaultKind::ServerError, "/photos/get_all");
  fault.query_contains = "album_id=3558936321000001&count=100&page=2&";
  service().add_fault(fault);

  const CliResult first = run_with({"--record", "on", home(user)});
  EXPECT_EQ(first.exit_code, 1) << first.err;
  EXPECT_NE(first.out.find("相册《A150》第2页照片列表获取失败：服务器回答 HTTP 500"), std::string::npos)
      << first.out;
  EXPECT_EQ(first.out.find("---完成相册《A150》下载"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("---完成相册《B3》下载"), std::string::npos) << first.out;
  EXPECT_EQ(image_requests(), 103u);
  EXPECT_EQ(files_under(save_.path()).size(), 103u);

  service().clear_faults();
  service().clear_requests();
  const CliResult second = run_with({"--record", "on", home(user)});
  EXPECT_EQ(second.exit_code, 0) << second.err;
  EXPECT_EQ(image_requests(), 50u);
  auto expected = album_files(user, user.albums[0]);
  expected.merge(album_files(user, user.albums[1]));
  EXPECT_EQ(files_under(save_.path()), expected);
}

TEST_F(CliFailureTest, HomePageAndAlbumListCausesAreTold) {
  int closed_port;
  {
    afsample::SampleService other;
    closed_port = other.port();
  }
  const std::string closed = "http://127.0.0.1:" + std::to_string(closed_port) + "/u/1";
  const CliResult refused = run_with({closed});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.err.find("连接被拒绝"), std::string::npos) << refused.err;
  EXPECT_EQ(refused.err.find("no user id"), std::string::npos) << refused.err;
  // The network library's English words only when asked for, with the address.
  EXPECT_EQ(refused.err.find("connect"), std::string::npos) << refused.err;
  const CliResult verbose = run_with({"--verbose", closed});
  EXPECT_EQ(verbose.exit_code, 1);
  EXPECT_NE(verbose.err.find("albumfetcher-cli: " + closed + ": "), std::string::npos) << verbose.err;
  EXPECT_NE(verbose.err.find("connect"), std::string::npos) << verbose.err;

  auto user = make_user("2102", "/u/2102", "T");
  user.albums.push_back(make_album("3558936322000001", "A", 2));
  service().add_user(user);
  // An address as a browser shows it, with a scheme of its own, reaches its host.
  const CliResult typed_scheme = run_with({"--list", "HTTP://" + home(user).substr(7)});
  EXPECT_EQ(typed_scheme.exit_code, 0) << typed_scheme.err;
  service().add_fault(fault_on(afsample::FaultKind::NotFound, "/albums/get_all"));
  const CliResult not_found = run_with({home(user)});
  EXPECT_EQ(not_found.exit_code, 1);
  EXPECT_NE(not_found.err.find("相册列表获取失败：服务器回答 HTTP 404"), std::string::npos) << not_found.err;
  EXPECT_EQ(not_found.err.find("holds no album"), std::string::npos) << not_found.err;
  EXPECT_EQ(image_requests(), 0u);
}

TEST_F(CliFailureTest, VisitorPageWithoutLoginSaysToLogIn) {
  service().set_profile(afsample::ServiceProfile::Today);
  auto user = make_user("2103", "/someone", "T");
  user.albums.push_back(make_album("3558936323000001", "A", 2));
  service().add_user(user);
  const CliResult result = run_with({home(user)});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("请先在“登录”页登录微博"), std::string::npos) << result.err;
  EXPECT_TRUE(service().requests_to("/albums/get_all").empty());
}

// Night after night: the last line of standard error says what the run came to, and only
// a complete run says "全部下载完毕".
TEST_F(CliFailureTest, TheLastLineSaysWhatTheRunCameTo) {
  auto user = make_user("2105", "/u/2105", "T");
  user.albums.push_back(make_album("3558936325000001", "A", 2));
  user.albums[0].photos[1].image_fault_status = 404;
  user.albums[0].photos[1].image_fault_times = 2;  // both tries of the first run
  service().add_user(user);
  struct Run {
    std::vector<std::string> args;
    int exit_code;
    const char* last_line;
  };
  const std::string elsewhere = output_.file("elsewhere");
  for (const Run& r : {Run{{"--record", "on"}, 1, "警告：下载结束：已保存1张，失败1张。"},
                       Run{{"--record", "on"}, 0, "警告：下载结束：已保存1张，已跳过1张（下载记录）。"},
                       Run{{"--record", "on"}, 0, "警告：下载结束：已保存0张，已跳过2张（下载记录）。"},
                       Run{{"--record", "off", "--save-dir", elsewhere}, 0, "信息：全部下载完毕"},
                       Run{{"--range", "2013-04-05", "2013-04-01"}, 2, "Try 'albumfetcher-cli --help'."}}) {
    std::vector<std::string> args = r.args;
    args.push_back(home(user));
    const std::size_t asked = service().requests().size();
    const CliResult result = run_with(args);
    EXPECT_EQ(result.exit_code, r.exit_code) << result.err;
    if (r.exit_code == 2) {
      EXPECT_EQ(service().requests().size(), asked) << "a usage error asks nothing";
    }
    std::string err = result.err;
    while (!err.empty() && err.back() == '\n') err.pop_back();
    EXPECT_EQ(err.substr(err.rfind('\n') + 1), r.last_line) << result.err;
  }
}

// With a session the script-rendered page holds no id; the profile info answers that a
// login is wanted ({"ok":-100}): the login is missing or expired, not the user id.
TEST_F(CliFailureTest, ProfileInfoThatWantsALoginSaysToLogIn) {
  service().set_profile(afsample::ServiceProfile::Today);
  auto user = make_user("2104", "/someone", "T");
  user.albums.push_back(make_album("3558936324000001", "A", 2));
  service().add_user(user);
  service().add_fault(fault_on(afsample::FaultKind::LoginJson, "/ajax/profile/info"));
  const CliResult result = run_with({"--cookies", session_cookie_file(), home(user)});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("没有登录或登录已失效：请先在“登录”页登录微博"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("找不到用户ID"), std::string::npos) << result.err;
  EXPECT_EQ(service().requests_to("/ajax/profile/info").size(), 1u);
  EXPECT_TRUE(service().requests_to("/albums/get_all").empty());
}

}  // namespace
}  // namespace aftest::cli
