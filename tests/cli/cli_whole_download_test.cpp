// SPDX-License-Identifier: GPL-3.0-or-later
// albumfetcher-cli downloading everything, from the service as it answered when the program
// was designed and as it answers today (home pages without an id marker, a login needed,
// album lists in pages of 20, photo pages of 30, rate limits after a burst of list requests).
#include "cli_fixture.h"

namespace aftest::cli {
namespace {

using afsample::make_album;
using afsample::make_user;

struct WholeCase {
  const char* name;
  afsample::ServiceProfile profile;
  const char* path;
  int big;  // photos of the first album
};

class WholeDownload : public CliTest, public ::testing::WithParamInterface<WholeCase> {};

// 45 albums (three album list pages of 20 today), the first of 250 photos (pages of 30 today),
// every photo byte for byte under its name.
TEST_P(WholeDownload, EveryPhotoUnderItsName) {
  const WholeCase c = GetParam();
  service().set_profile(c.profile);
  auto user = make_user("2104", c.path, "Some One");
  user.albums.push_back(make_album("3558936324000000", "Big", c.big, 7));
  for (int i = 1; i < 45; ++i)
    user.albums.push_back(make_album(std::to_string(3558936324000000LL + i), "A" + std::to_string(i), 1));
  service().add_user(user);
  const CliResult result = run_with({"--cookies", session_cookie_file(), home(user)});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("-----获取完毕,共计45个"), std::string::npos) << result.out;
  std::map<std::string, std::string> expected;
  for (const auto& album : user.albums) expected.merge(album_files(user, album));
  EXPECT_EQ(files_under(save_.path()), expected);
  // Today every picture is refused without the service's Referer and asked once more with
  // it, and after every 40 pictures the image hosts refuse two requests.
  const std::size_t photos = c.big + 44;
  const std::size_t today = 2 * photos + 2 * ((photos - 1) / 40);
  EXPECT_EQ(image_requests(), c.profile == afsample::ServiceProfile::Today ? today : photos);
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, WholeDownload,
    ::testing::Values(WholeCase{"classic_digits", afsample::ServiceProfile::Classic, "/u/2104", 250},
                      WholeCase{"today_digits", afsample::ServiceProfile::Today, "/u/2104", 31},
                      WholeCase{"today_custom", afsample::ServiceProfile::Today, "/someone", 250}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace aftest::cli
