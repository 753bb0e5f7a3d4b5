// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command-line tests' fixture: the sample service in this process, the real
// albumfetcher-cli as a child process with a program directory and a save folder of its own,
// and helpers to look at what it printed and left on disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/paths.h"
#include "download/archive.h"
#include "download/gallery.h"
#include "download/naming.h"
#include "support/bounded_wait.h"
#include "support/sample_service_env.h"
#include "util/codepage.h"

extern char** environ;

namespace aftest::cli {

// What the album list adds to the log when the run holds no login of the service.
inline constexpr const char* kSignedOutNote =
    "当前没有登录微博，只列出了公开的相册：要列出登录后才能看到的相册，请先在“登录”页登录微博，再重新获取\n";

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class ScratchFolder {
 public:
  explicit ScratchFolder(const char* name) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// How a child ended: exit_code when it exited, signal when a signal killed it.
struct CliResult {
  int exit_code = -1;
  int signal = 0;
  std::string out;
  std::string err;
};

// albumfetcher-cli running as a child; its standard output and error go to files.
class CliProcess {
 public:
  CliProcess(const std::vector<std::string>& args, const std::string& output_folder)
      : out_path_(output_folder + "/stdout.txt"), err_path_(output_folder + "/stderr.txt") {
    std::vector<std::string> all{AF_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    if (posix_spawn(&pid, AF_CLI_PATH, &actions, &attributes, argv.data(), environ) == 0)
      child_ = aftest::Child::adopt(pid);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  bool started() const { return child_.started(); }
  void send(int signal) { child_.signal(signal); }

  // Waits for the child; a child still running after `timeout` is killed and reported
  // with exit_code -1 and signal SIGKILL.
  CliResult wait(std::chrono::seconds timeout = std::chrono::seconds(300)) {
    CliResult result;
    std::optional<int> status = child_.wait(timeout);
    if (!status) status = child_.kill();
    if (status && WIFEXITED(*status)) result.exit_code = WEXITSTATUS(*status);
    if (status && WIFSIGNALED(*status)) result.signal = WTERMSIG(*status);
    result.out = read_file(out_path_);
    result.err = read_file(err_path_);
    return result;
  }

 private:
  std::string out_path_;
  std::string err_path_;
  aftest::Child child_;
};

class CliTest : public SampleServiceTest {
 protected:
  void SetUp() override {
    SampleServiceTest::SetUp();
    // The settings file and records are looked at from here as the child sees them.
    af::set_program_directory(program_.path());
  }
  void TearDown() override {
    af::set_program_directory({});
    SampleServiceTest::TearDown();
  }

  // The options every run gets: its own program directory, no waits, the sample service.
  std::vector<std::string> base_args() {
    return {"--program-dir", program_.path(), "--pace-factor", "0", "--service-base", base()};
  }
  std::string home(const afsample::SampleUser& user) { return base() + user.path; }
  // A fault of `kind` on `path`, for every request unless the caller says otherwise.
  static afsample::Fault fault_on(afsample::FaultKind kind, std::string path) {
    afsample::Fault fault;
    fault.kind = kind;
    fault.path = std::move(path);
    return fault;
  }

  CliResult run(std::vector<std::string> args) {
    CliProcess child(args, output_.path());
    EXPECT_TRUE(child.started());
    return child.wait();
  }
  // base_args(), then `args`, saving into save_.
  CliResult run_with(const std::vector<std::string>& args) {
    std::vector<std::string> all = base_args();
    all.insert(all.end(), {"--save-dir", save_.path()});
    all.insert(all.end(), args.begin(), args.end());
    return run(all);
  }

  // Every file under `root`, by path relative to it (UTF-8), with its bytes; album indexes
  // and the gallery page are left out (their own tests look at them).
  static std::map<std::string, std::string> files_under(const std::string& root) {
    std::map<std::string, std::string> files;
    namespace fs = std::filesystem;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error))
      if (it->is_regular_file() && it->path().filename() != af::kAlbumIndexName &&
          it->path().filename() != af::kGalleryPageName)
        files[fs::relative(it->path(), root).string()] = read_file(it->path().string());
    return files;
  }

  // "<title>/<album folder>", as the engine names them (UTF-8).
  static std::string album_path(const afsample::SampleUser& user, const afsample::SampleAlbum& album) {
    return af::gbk_to_utf8(af::sanitize_name(af::utf8_to_gb18030(user.title))) + "/" +
           af::gbk_to_utf8(af::sanitize_name(af::utf8_to_gb18030(album.caption)) +
                           std::to_string(album.stated_count()));
  }
  // The file name of the photo at `position` (1-based).
  static std::string photo_name(const afsample::SamplePhoto& photo, int position) {
    const bool gif = photo.pic_name.find(".gif") != std::string::npos;
    const std::string caption = af::file_caption(af::utf8_to_gb18030(photo.caption_render));
    return af::gbk_to_utf8(
        af::photo_file_name(position, caption, af::file_caption(photo.feed_id), gif ? ".gif" : ".jpg"));
  }
  // The files a complete download of `album` leaves, keyed like files_under().
  std::map<std::string, std::string> album_files(const afsample::SampleUser& user,
                                                 const afsample::SampleAlbum& album) {
    std::map<std::string, std::string> files;
    for (std::size_t i = 0; i < album.photos.size(); ++i)
      files[album_path(user, album) + "/" + photo_name(album.photos[i], static_cast<int>(i + 1))] =
          service().image_bytes(album.photos[i].pic_name);
    return files;
  }

  // A user with an open album and one listed and paged only with a login.
  static afsample::SampleUser locked_user() {
    auto user = afsample::make_user("2006", "/u/2006", "T");
    user.albums.push_back(afsample::make_album("3558936316000001", "Open", 2));
    auto locked = afsample::make_album("3558936316000002", "Locked", 3);
    locked.requires_login = true;
    user.albums.push_back(locked);
    return user;
  }

  // A cookie file holding a fresh session of the sample service, for --cookies.
  std::string session_cookie_file() {
    const std::string path = output_.file("session-cookies.txt");
    write_file(path, "# Netscape HTTP Cookie File\n\n#HttpOnly_127.0.0.1\tFALSE\t/\tFALSE\t0\t" +
                         std::string(afsample::SampleService::kSessionCookie) + "\t" + service().new_session() +
                         "\n");
    return path;
  }

  std::size_t image_requests() {
    std::size_t n = 0;
    for (const auto& r : service().requests())
      if (r.path.rfind("/large/", 0) == 0) ++n;
    return n;
  }

  ScratchFolder program_{"af-cli-program"};
  ScratchFolder save_{"af-cli-save"};
  ScratchFolder output_{"af-cli-output"};
};

}  // namespace aftest::cli
