// SPDX-License-Identifier: GPL-3.0-or-later
// albumfetcher-cli on a bad day: a limit of the service on this machine that outlasts an
// album's tries ends the run with status 75 and says when to try again, run after run while
// the ban lasts; a limit that lifts costs nothing but time.
#include <ctime>

#include "cli_fixture.h"
#include "service/service_limit.h"

namespace aftest::cli {
namespace {

using afsample::Fault;
using afsample::FaultKind;
using afsample::make_album;
using afsample::make_user;

class CliLimitTest : public CliTest {
 protected:
  // A user with `albums` albums of `photos` photos each, whose images answer
  // `image_status` when it is not 0.
  afsample::SampleUser user_with(const std::string& uid, int albums, int photos = 2, int image_status = 0) {
    auto user = make_user(uid, "/u/" + uid, "U" + uid);
    for (int a = 1; a <= albums; ++a) {
      user.albums.push_back(make_album("35589363" + uid + std::to_string(1000 + a), "A", photos));
      for (auto& photo : user.albums.back().photos) {
        photo.image_fault_status = image_status;
        photo.image_fault_times = image_status != 0 ? -1 : 0;
      }
    }
    service().add_user(user);
    return user;
  }
  void limit(const std::string& path, int status, int times = -1, std::string retry_after = "1") {
    Fault fault = fault_on(FaultKind::Status, path);
    fault.status = status;
    fault.times = times;
    fault.retry_after = std::move(retry_after);
    service().add_fault(fault);
  }
  // The time standard error advises ("run again after YYYY-MM-DD HH:MM").
  static std::string advised(const std::string& err) {
    const std::string words = "run again after ";
    const std::size_t at = err.find(words);
    return at == std::string::npos ? std::string() : err.substr(at + words.size(), 16);
  }
  // Runs and checks that the advice lies `wait` after the moment the run gave up.
  CliResult run_advising(const std::vector<std::string>& args, std::time_t wait) {
    const std::string earliest = af::local_minute_text(std::time(nullptr) + wait);
    CliResult result = run_with(args);
    const std::string latest = af::local_minute_text(std::time(nullptr) + wait);
    const std::string when = advised(result.err);
    EXPECT_TRUE(earliest <= when && when <= latest) << earliest << " <= '" << when << "' <= " << latest;
    return result;
  }
  std::size_t list_requests(const std::string& uid) {
    std::size_t n = 0;
    for (const auto& r : service().requests_to("/photos/get_all")) n += r.query.find("uid=" + uid + "&") == 0;
    return n;
  }
};

// A person's nightly run while the machine is banned: the first album's tries, then the run
// stops with 75; the next nights are told to wait longer; once the ban lifts, a run fetches
// exactly what is missing and the row is forgotten.
TEST_F(CliLimitTest, ABanStopsTheRunAndEachNightWhileItLastsIsToldToWaitLonger) {
  const auto user = user_with("2601", 10);
  limit("/photos/get_all", 418);
  const std::time_t hour = 3600;
  for (std::time_t wait : {hour, 2 * hour, 4 * hour}) {
    service().clear_requests();
    const CliResult night = run_advising({"--record", "on", home(user)}, wait);
    EXPECT_EQ(night.exit_code, 75) << night.err;
    EXPECT_EQ(service().requests_to("/photos/get_all").size(), 10u) << "one album's tries, no more";
    EXPECT_EQ(image_requests(), 0u);
    EXPECT_NE(night.err.find("the service is limiting this machine's requests: nothing more was asked and "
                             "nothing saved is lost"),
              std::string::npos)
        << night.err;
    EXPECT_NE(night.out.find("第1页照片列表获取失败：服务限制了请求频率（HTTP 418）；10次尝试后放弃"), std::string::npos)
        << night.out;
    EXPECT_NE(night.out.find("服务正在限制本机的请求：已停止请求"), std::string::npos) << night.out;
    EXPECT_EQ(night.out.find("全部下载完毕"), std::string::npos) << night.out;
  }

  service().clear_faults();
  const CliResult lifted = run_with({"--record", "on", home(user)});
  EXPECT_EQ(lifted.exit_code, 0) << lifted.err;
  EXPECT_EQ(image_requests(), 20u);
  EXPECT_FALSE(std::filesystem::exists(af::service_limit_path()));
  // The next ban starts from an hour again.
  limit("/photos/get_all", 418);
  EXPECT_EQ(run_advising({"--record", "on", home(user)}, hour).exit_code, 75);
}

struct StopCase {
  const char* name;
  const char* path;  // what the service limits: a list, or "" for the first user's images
  int status;
  const char* err;  // what standard error says besides the time
  const char* pace;
};

class CliLimitStops : public CliLimitTest, public ::testing::WithParamInterface<StopCase> {};

// Three users: the limit met with the first stops the run; the others are not asked for.
TEST_P(CliLimitStops, OnlyTheFirstUserIsAskedFor) {
  const StopCase c = GetParam();
  const bool images = *c.path == '\0';
  const auto first = user_with("2611", 3, images ? 20 : 2, images ? c.status : 0);
  const auto second = user_with("2612", 1);
  const auto third = user_with("2613", 1);
  if (!images) limit(c.path, c.status, -1, "");
  const std::string users = output_.file("users.txt");
  write_file(users, home(first) + "\n" + home(second) + "\n" + home(third) + "\n");
  std::vector<std::string> args = base_args();
  args.insert(args.end(), {"--pace-factor", c.pace, "--save-dir", save_.path(), "--users", users});
  const CliResult result = run(args);
  EXPECT_EQ(result.exit_code, 75) << result.err;
  EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
  EXPECT_FALSE(advised(result.err).empty()) << result.err;
  EXPECT_EQ(list_requests("2612") + list_requests("2613"), 0u);
  for (const auto& r : service().requests_to("/albums/get_all")) EXPECT_EQ(r.query.find("uid=2611&"), 0u);
  const std::string table = result.out.substr(result.out.find("address\tuser\t"));
  EXPECT_NE(table.find("\tlimited\n" + home(second) + "\t-\t0\t0\t0\t0\tnot run\n" + home(third) +
                       "\t-\t0\t0\t0\t0\tnot run\n"),
            std::string::npos)
      << table;
  EXPECT_EQ(result.out.find("全部下载完毕"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliLimitStops,
    ::testing::Values(
        StopCase{"photo_lists_418", "/photos/get_all", 418, "limiting this machine's requests", "0"},
        StopCase{"photo_lists_432", "/photos/get_all", 432,
                 "refuses this program's requests (HTTP 432): nothing more was asked and nothing saved is "
                 "lost; log in again in the window's login page (登录), or renew the cookie file",
                 "0"},
        StopCase{"album_list_429", "/albums/get_all", 429, "limiting this machine's requests", "0"},
        // Images are given up on time, not on tries: the album's give-up is shortened.
        StopCase{"images_418", "", 418, "limiting this machine's requests", "100"}),
    [](const auto& info) { return std::string(info.param.name); });

// A burst limit that lifts after three answers: nothing is lost, and the requests after it
// came slower, by the waits that grew with each limit and shrink with each good answer.
TEST_F(CliLimitTest, ALimitThatLiftsSlowsTheRequestsAndLosesNothing) {
  auto user = make_user("2621", "/u/2621", "U");
  user.albums.push_back(make_album("3558936362100001", "A", 250));
  service().add_user(user);
  limit("/photos/get_all", 418, 3, "");
  std::vector<std::string> args = base_args();
  args.insert(args.end(), {"--pace-factor", "20", "--save-dir", save_.path(), home(user)});
  const CliResult result = run(args);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(files_under(save_.path()), album_files(user, user.albums[0]));
  EXPECT_FALSE(std::filesystem::exists(af::service_limit_path()));

  // Each list request's time, and the request just before it (an image or a list).
  const auto all = service().requests();
  std::vector<std::chrono::milliseconds> gaps;
  for (std::size_t i = 1; i < all.size(); ++i)
    if (all[i].path == "/photos/get_all")
      gaps.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(all[i].at - all[i - 1].at));
  // Three limited tries of page 1 (waits of 100, 200, 400 ms), page 1, then pages 2 to 4
  // after 200 ms, 100 ms and nothing more.
  ASSERT_EQ(gaps.size(), 7u);
  const long long least[] = {0, 100, 200, 400, 200, 100, 0};
  for (std::size_t i = 0; i < gaps.size(); ++i) EXPECT_GE(gaps[i].count(), least[i]) << "list request " << i;
}

}  // namespace
}  // namespace aftest::cli
