// An archive kept in sync: --verify finds what is no longer as saved, --repair lets the
// next download with the record on fetch exactly that, and several users go in one run.
#include <regex>
#include <sstream>

#include "cli_fixture.h"
#include "download/record_store.h"

namespace aftest::cli {
namespace {

// The lines of `text` that end in one of the states a photo can be in.
std::vector<std::string> fault_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.ends_with("\tmissing") || line.ends_with("\tchanged") || line.ends_with("\tdamaged") ||
        line.find("\tmoved aside to ") != std::string::npos)
      lines.push_back(line);
  return lines;
}

class CliVerifyTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    user_.albums = {afsample::make_album("3558936341000001", "V", 6)};
    service().add_user(user_);
    ASSERT_EQ(run_with({"--record", "on", home(user_)}).exit_code, 0);
    album_ = save_.path() + "/" + album_path(user_, user_.albums[0]);
  }
  std::string photo(int position) {
    return album_ + "/" + photo_name(user_.albums[0].photos[position - 1], position);
  }
  CliResult verify(std::vector<std::string> more = {}) {
    std::vector<std::string> args{"--program-dir", program_.path(), "--verify", save_.path()};
    args.insert(args.end(), more.begin(), more.end());
    return run(args);
  }
  afsample::SampleUser user_ = afsample::make_user("2401", "/u/2401", "T");
  std::string album_;
};

TEST_F(CliVerifyTest, DamageIsFoundMovedAsideAndFetchedAgainByTheNextDownload) {
  std::filesystem::remove(photo(1));
  std::filesystem::resize_file(photo(2), std::filesystem::file_size(photo(2)) / 2);
  std::string bytes = read_file(photo(3));
  bytes[bytes.size() / 2] ^= 0x01;
  write_file(photo(3), bytes);
  write_file(album_ + "/notes.txt", "mine");
  const auto damaged = files_under(save_.path());

  const CliResult checked = verify();
  EXPECT_EQ(checked.exit_code, 1) << checked.err;
  const std::string album = album_path(user_, user_.albums[0]);
  const std::string name3 = photo_name(user_.albums[0].photos[2], 3);
  EXPECT_EQ(fault_lines(checked.out).size(), 3u) << checked.out;
  EXPECT_NE(checked.out.find(album + "\t" + photo_name(user_.albums[0].photos[0], 1) + "\tmissing\n"),
            std::string::npos);
  EXPECT_NE(checked.out.find(album + "\t" + photo_name(user_.albums[0].photos[1], 2) + "\tdamaged\n"),
            std::string::npos);
  EXPECT_NE(checked.out.find(album + "\t" + name3 + "\t"), std::string::npos);
  EXPECT_NE(checked.out.find(album + "\tnotes.txt\tnot indexed\n"), std::string::npos);
  EXPECT_NE(checked.out.find(album + "\t6 photos: 3 sound, 1 missing, "), std::string::npos) << checked.out;
  EXPECT_EQ(files_under(save_.path()), damaged);  // nothing changed without --repair

  const CliResult repaired = verify({"--repair"});
  EXPECT_EQ(repaired.exit_code, 1) << repaired.err;
  EXPECT_NE(repaired.out.find("removed 3 photo ids from the download record " + program_.file("2401.dlr")),
            std::string::npos)
      << repaired.out;
  EXPECT_EQ(read_file(photo(3) + ".damaged"), bytes);
  EXPECT_TRUE(std::filesystem::exists(photo(2) + ".damaged"));
  af::DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(af::record_store_path("2401")));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(record.is_recorded(user_.albums[0].photos[i].photo_id), i >= 3) << i;
  record.close_record_store();

  service().clear_requests();
  ASSERT_EQ(run_with({"--record", "on", home(user_)}).exit_code, 0);
  EXPECT_EQ(image_requests(), 3u);
  auto want = album_files(user_, user_.albums[0]);
  want[album + "/notes.txt"] = "mine";
  want[album + "/" + photo_name(user_.albums[0].photos[1], 2) + ".damaged"] =
      read_file(photo(2) + ".damaged");
  want[album + "/" + name3 + ".damaged"] = bytes;
  EXPECT_EQ(files_under(save_.path()), want);
  EXPECT_EQ(verify().exit_code, 0);
}

TEST_F(CliVerifyTest, AnIndexWithoutSizesIsCheckedByPresenceAndPicture) {
  const std::string index = album_ + "/" + std::string(af::kAlbumIndexName);
  const std::string lines = read_file(index);
  ASSERT_NE(lines.find("\"sha256\":\""), std::string::npos);
  write_file(index, std::regex_replace(lines, std::regex(R"(,"bytes":\d+,"sha256":"[0-9a-f]{64}")"), ""));
  ASSERT_EQ(read_file(index).find("sha256"), std::string::npos);
  std::string bytes = read_file(photo(4));
  bytes[bytes.size() / 2] ^= 0x01;  // unseen without a digest
  write_file(photo(4), bytes);
  EXPECT_EQ(verify().exit_code, 0);

  std::filesystem::resize_file(photo(5), 100);
  const CliResult checked = verify();
  EXPECT_EQ(checked.exit_code, 1);
  EXPECT_EQ(fault_lines(checked.out),
            std::vector<std::string>{album_path(user_, user_.albums[0]) + "\t" +
                                     photo_name(user_.albums[0].photos[4], 5) + "\tdamaged"});
}

TEST_F(CliTest, SeveralUsersRunInTurnAndASummaryNamesEach) {
  auto first = afsample::make_user("2411", "/u/2411", "Ann");
  first.albums = {afsample::make_album("3558936341100001", "A", 3)};
  auto third = afsample::make_user("2413", "/u/2413", "Cy");
  third.albums = {afsample::make_album("3558936341300001", "C", 2)};
  service().add_user(first);
  service().add_user(third);
  const std::string users = output_.file("users.txt");
  write_file(users,
             "# friends\n" + home(first) + "\n\n  " + base() + "/no-such-page  \n" + home(third) + "\n");

  const CliResult result = run_with({"--users", users});
  EXPECT_EQ(result.exit_code, 1) << result.err;
  auto want = album_files(first, first.albums[0]);
  want.merge(album_files(third, third.albums[0]));
  EXPECT_EQ(files_under(save_.path()), want);
  const std::string table = result.out.substr(result.out.find("address\tuser\t"));
  EXPECT_EQ(table, "address\tuser\talbums\tsaved\tskipped\tfailed\tresult\n" + home(first) +
                       "\tAnn\t1\t3\t0\t0\tok\n" + base() + "/no-such-page\t-\t0\t0\t0\t0\tfailed\n" +
                       home(third) + "\tCy\t1\t2\t0\t0\tok\n");
  EXPECT_NE(result.err.find("user 2 of 3: " + base() + "/no-such-page"), std::string::npos) << result.err;

  // A second run with the record on: everything skipped, nothing failed.
  const CliResult again = run_with({"--record", "on", home(first), home(third)});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_NE(again.out.find(home(first) + "\tAnn\t1\t0\t3\t0\tok\n"), std::string::npos) << again.out;
}

TEST_F(CliTest, AFolderOrUsersFileThatIsNotThereIsSaid) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--verify", save_.file("absent")},
                                               {"--users", output_.file("absent.txt")}}) {
    const CliResult result = run(args);
    EXPECT_EQ(result.exit_code, 2) << args[0];
    EXPECT_NE(result.err.find("absent"), std::string::npos) << result.err;
  }
  const CliResult empty = run({"--verify", save_.path()});
  EXPECT_EQ(empty.exit_code, 1);
  EXPECT_NE(empty.err.find("no album index"), std::string::npos) << empty.err;
}

}  // namespace
}  // namespace aftest::cli
