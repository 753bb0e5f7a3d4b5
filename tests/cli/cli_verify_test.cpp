// SPDX-License-Identifier: GPL-3.0-or-later
// An archive kept in sync: --verify finds what is no longer as saved, --repair lets the
// next download with the record on fetch exactly that, and several users go in one run.
#include <regex>
#include <sstream>

#include "cli_fixture.h"
#include "download/record_store.h"
#include "download/verify.h"
#include "support/archive_maker.h"

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

// An archive made without a download inside a folder of its own, so that what lies above
// the save folder is seen too: <root>/save/U/A3 and B2, every photo in the download record,
// and <root>/outside_dir.
class CliArchiveTrustTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    a_ = make_archive_album(save_dir_ + "/U", "A3", "A", {{"a", 1}, {"b", 2}, {"c", 3}}, 100);
    b_ = make_archive_album(save_dir_ + "/U", "B2", "B", {{"d", 1}, {"e", 2}}, 200);
    std::filesystem::create_directories(root_.file("outside_dir"));
    write_file(root_.file("outside_dir/keep.txt"), "mine");
    af::DownloadRecord record;
    ASSERT_TRUE(record.open_record_store(af::record_store_path("5001")));
    for (const auto& name : a_) ASSERT_TRUE(record.add_record(photo_id(name)));
    for (const auto& name : b_) ASSERT_TRUE(record.add_record(photo_id(name)));
  }
  static std::string photo_id(const std::string& name) {  // "<n>_<id>.jpg"
    return name.substr(name.find('_') + 1, name.find('.') - name.find('_') - 1);
  }
  std::string album(const std::string& name) const { return save_dir_ + "/U/" + name; }
  std::string index(const std::string& name) const {
    return album(name) + "/" + std::string(af::kAlbumIndexName);
  }
  CliResult verify(const std::string& folder, bool repair = false) {
    std::vector<std::string> args{"--program-dir", program_.path(), "--verify", folder};
    if (repair) args.push_back("--repair");
    return run(args);
  }
  // Every file with its bytes, and every folder, under the root.
  std::map<std::string, std::string> everything() const {
    std::map<std::string, std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_.path()))
      found[entry.path().lexically_relative(root_.path()).string()] =
          entry.is_directory() ? "<folder>" : read_file(entry.path().string());
    return found;
  }

  ScratchFolder root_{"af-cli-trust"};
  std::string save_dir_ = root_.path() + "/save";
  std::vector<std::string> a_, b_;
};

// Lines that name a file of another album, an album, a folder above the save folder, an
// absolute path, a file in a folder or the index itself, or hold no JSON, are told and never
// followed: a repair, run twice, moves aside the one damaged photo a sound line names and
// changes nothing else, inside the archive or above it.
TEST_F(CliArchiveTrustTest, ARepairFollowsNoBadIndexLine) {
  std::filesystem::create_directories(album("A3") + "/sub");
  write_file(album("A3") + "/sub/x.jpg", "x");
  std::filesystem::resize_file(album("A3") + "/" + a_[2], 100);  // damaged
  const std::string nul = std::string("x\0/../B2/", 9) + b_[1], longer = "../" + std::string(80, 'y');
  const std::vector<std::string> hostile{
      "../B2/" + b_[0], "../B2", "../../../outside_dir", root_.file("outside_dir/keep.txt"), "sub/x.jpg",
      std::string(af::kAlbumIndexName), nul, longer, "../a\tb\x1b[31m"};
  const std::map<std::string, std::string> told_as{  // the others are told as they are
      {nul, "x /../B2/" + b_[1]}, {longer, "../" + std::string(57, 'y') + "…"}, {hostile[8], "../a b [31m"}};
  std::string lines, told;
  for (std::size_t i = 0; i < hostile.size(); ++i) {
    af::IndexedPhoto line;  // were it followed: a changed or damaged file, and a sound photo forgotten
    line.file_name = hostile[i];
    line.photo_id = photo_id(b_[0]);
    line.bytes = 1;
    lines += af::index_line(line) + "\n";
    told += "U/A3\t" + (told_as.count(hostile[i]) ? told_as.at(hostile[i]) : hostile[i]) +
            "\tbad index line\tline " + std::to_string(4 + i) + "\n";
  }
  af::IndexedPhoto folder;  // a plain name, but a folder's: nothing to move aside
  folder.file_name = "sub";
  std::ofstream(index("A3"), std::ios::app) << lines << "\nnot json\n"
                                            << af::index_line(folder) << "\n{\"file\":";
  told += "U/A3\tnot json\tbad index line\tline 14\n";

  auto want = everything();
  want["save/U/A3/" + a_[2] + ".damaged"] = want.extract("save/U/A3/" + a_[2]).mapped();
  for (int run = 1; run <= 2; ++run) {
    const CliResult repaired = verify(save_dir_, true);
    EXPECT_EQ(repaired.exit_code, 1) << run;
    EXPECT_EQ(everything(), want) << run;
    if (run > 1) continue;
    EXPECT_EQ(
        repaired.out,
        told + "U/A3\t" + a_[2] + "\tdamaged\tmoved aside to " + a_[2] + ".damaged\n" +
            "U/A3\tsub\tdamaged\tnot moved aside: 那里是文件夹，不是文件\n" +
            "U/A3\t4 photos: 2 sound, 0 missing, 0 changed, 2 damaged, 0 not indexed, 10 bad index lines\n" +
            "U/B2\t2 photos: 2 sound, 0 missing, 0 changed, 0 damaged, 0 not indexed\n" +
            "removed 1 photo ids from the download record " + program_.file("5001.dlr") + "\n");
    EXPECT_EQ(repaired.err, "albumfetcher-cli: 2 albums, 6 photos: 2 not sound, 10 bad index lines\n");
  }
  af::DownloadRecord record;
  ASSERT_TRUE(record.open_record_store(af::record_store_path("5001")));
  for (const auto& name : a_) EXPECT_EQ(record.is_recorded(photo_id(name)), name != a_[2]) << name;
  for (const auto& name : b_) EXPECT_TRUE(record.is_recorded(photo_id(name))) << name;
}

// An album that an earlier release spread over 旅行3, 旅行5 and 旅行6 (numbering only each
// night's new photos from 1, so 1_X.jpg is one photo in 旅行3 and another in 旅行6, and a
// photo saved twice with the record off): verify names it; a repair folds it into 旅行6, the
// folder written last, each photo once with its bytes, and then finds nothing more to do. A
// bad line of 旅行3 keeps that folder, and is never followed.
TEST_F(CliArchiveTrustTest, AnAlbumSplitOverSeveralFoldersIsFoldedOnce) {
  const std::string x = "3560000000000001", n = "3560000000000004";
  make_archive_album(save_dir_ + "/U", "旅行3", "旅行", {{"春游", 1, x}, {"爬山", 2}, {"看海", 3}}, 300);
  make_archive_album(save_dir_ + "/U", "旅行5", "旅行", {{"海边", 4, n}, {"海边", 5, n}}, 400);
  make_archive_album(save_dir_ + "/U", "旅行6", "旅行", {{"春游", 6, x}}, 500);
  af::IndexedPhoto twice = af::read_indexed_photos(album("旅行3"))[1];
  std::filesystem::copy_file(album("旅行3") + "/" + twice.file_name, album("旅行5") + "/3_again.jpg");
  twice.file_name = "3_again.jpg";
  std::string error;
  af::AlbumIndex(album("旅行5")).add(twice, error);
  std::ofstream(index("旅行3"), std::ios::app) << "{\"file\":\"../A3/" << a_[0] << "\"}\n";

  std::map<std::string, std::string> photos;  // photo id -> bytes, of every photo of the album
  for (const std::string folder : {"旅行3", "旅行5", "旅行6"})
    for (const af::IndexedPhoto& p : af::read_indexed_photos(album(folder)))
      photos[p.photo_id] = read_file(album(folder) + "/" + p.file_name);
  ASSERT_EQ(photos.size(), 6u);
  const std::string id = aftest::archive_album_id("旅行");
  const CliResult checked = verify(save_dir_);
  EXPECT_EQ(checked.exit_code, 1);
  EXPECT_NE(checked.out.find("U/" + id + "\tin 3 folders: 旅行3, 旅行5, 旅行6: --repair folds them\n"), std::string::npos)
      << checked.out;

  auto before = everything();
  std::map<std::string, std::string> after_first;
  for (int run = 1; run <= 2; ++run) {
    const CliResult repaired = verify(save_dir_, true);
    EXPECT_EQ(repaired.exit_code, 1) << "the bad line of 旅行3";
    const std::string folded = "U/旅行6\tfolded 旅行3, 旅行5: 5 photos moved, 1 duplicates removed, 1 folders removed\n";
    EXPECT_EQ(repaired.out.find(folded) != std::string::npos, run == 1) << repaired.out;
    EXPECT_EQ(repaired.out.find("\tfolded "), repaired.out.rfind("\tfolded ")) << "one album, folded once";
    if (run == 1) after_first = everything();
  }
  EXPECT_EQ(everything(), after_first) << "a second repair changes nothing";
  EXPECT_FALSE(std::filesystem::exists(album("旅行5")));
  // 旅行3 keeps its bad line alone; A3's photo it names is where it was.
  EXPECT_EQ(read_file(index("旅行3")), "{\"file\":\"../A3/" + a_[0] + "\"}\n");
  EXPECT_EQ(after_first["save/U/A3/" + a_[0]], before["save/U/A3/" + a_[0]]);
  const af::AlbumCheck folded = af::check_album(album("旅行6"));
  EXPECT_EQ(folded.count(af::PhotoState::Sound), 6u);
  EXPECT_TRUE(folded.not_indexed.empty());
  std::map<std::string, std::string> held;
  for (const af::PhotoCheck& p : folded.photos) held[p.photo.photo_id] = read_file(album("旅行6") + "/" + p.photo.file_name);
  EXPECT_EQ(held, photos);
  EXPECT_EQ(read_file(album("旅行6") + "/1_" + x + ".jpg"), photos["4000000000500000"]) << "旅行6 keeps its own 1_X";
  EXPECT_EQ(read_file(album("旅行6") + "/1_" + x + "_4000000000300000.jpg"), photos["4000000000300000"]);
}

// Pictures that no index can be read for are said with their folder and number, and fail the
// run; a sound archive is said as it always was.
TEST_F(CliArchiveTrustTest, PicturesWithoutAReadableIndexAreUncheckedNotSound) {
  const std::string kept = read_file(index("B2"));
  struct Case {
    std::string index;  // "-": none; "/": a folder in its place
    std::string line;   // what is said of B2
  };
  for (const auto& [content, line] :
       {Case{kept, "2 photos: 2 sound, 0 missing, 0 changed, 0 damaged, 0 not indexed"},
        Case{"-", "no album index: its 2 photo files unchecked"},
        Case{"{\"file\":\"1_", "album index holds no whole line: its 2 photo files unchecked"},
        Case{"/", "album index unreadable (Invalid argument): its 2 photo files unchecked"}}) {
    std::filesystem::remove_all(index("B2"));
    if (content == "/") std::filesystem::create_directory(index("B2"));
    if (content != "/" && content != "-") write_file(index("B2"), content);
    const bool sound = content == kept;
    const CliResult checked = verify(save_dir_);
    EXPECT_EQ(checked.exit_code, sound ? 0 : 1) << line;
    EXPECT_EQ(checked.out, "U/A3\t3 photos: 3 sound, 0 missing, 0 changed, 0 damaged, 0 not indexed\nU/B2\t" +
                               line + "\n");
    EXPECT_EQ(checked.err,
              sound ? "albumfetcher-cli: 2 albums, 5 photos: all sound\n"
                    : "albumfetcher-cli: 1 albums, 3 photos: 0 not sound, 1 album folders unchecked\n");
  }
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
