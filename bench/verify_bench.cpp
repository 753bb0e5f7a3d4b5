// SPDX-License-Identifier: GPL-3.0-or-later
// albumfetcher-cli --verify over an archive of N photos (default 4,000 of 100 KiB, 40 albums
// of 100): wall time, CPU and peak memory of the program, with the photos in the page cache
// and with them dropped from it first. Also at a quarter of the photos, to show that memory
// does not grow with the archive.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "download/archive.h"
#include "sample_images.h"
#include "service/model.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kPerAlbum = 100;

// The archive a download leaves: album folders of photos, each with its index.
void make_archive(const std::string& root, int photos, std::size_t size) {
  std::optional<af::AlbumIndex> index;
  for (int i = 0; i < photos; ++i) {
    const std::string folder = root + "/user/album" + std::to_string(i / kPerAlbum);
    if (i % kPerAlbum == 0) {
      fs::create_directories(folder);
      index.emplace(folder);
    }
    const std::string bytes = afsample::make_jpeg(std::to_string(i), size);
    const std::string name = std::to_string(i % kPerAlbum + 1) + "_p_" + std::to_string(i) + ".jpg";
    std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
    af::PhotoEntry entry;
    entry.photo_id = std::to_string(1000000 + i);
    std::string error;
    index->add(af::indexed_photo(entry, name, "1", "album", std::time(nullptr), bytes), error);
  }
}

// Drops the archive's files from the page cache (their pages are clean, so this needs no
// privileges), so the next run reads them from the disk.
void drop_from_cache(const std::string& root) {
  ::sync();
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const int fd = ::open(entry.path().c_str(), O_RDONLY);
    if (fd < 0) continue;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
  }
}

void run_verify(const char* label, const std::string& root, int photos, std::size_t size) {
  std::vector<std::string> args{AF_CLI_PATH, "--verify", root};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t child = -1;
  if (posix_spawn(&child, AF_CLI_PATH, &actions, nullptr, argv.data(), environ) != 0) {
    std::printf("  cannot start %s\n", AF_CLI_PATH);
    return;
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  struct rusage usage {};
  ::wait4(child, &status, 0, &usage);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu =
      usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  const double mib = static_cast<double>(photos) * static_cast<double>(size) / (1024.0 * 1024.0);
  std::printf("  %-6s %5d photos  wall %6.2f s  cpu %5.2f s  %6.1f MiB/s  peak %5.1f MiB%s\n", label, photos,
              wall, cpu, mib / wall, usage.ru_maxrss / 1024.0,
              WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "  (exit status not 0)");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  int photos = 4000;
  std::size_t size = 100 * 1024;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--photos") photos = std::atoi(argv[i + 1]);
    if (option == "--size") size = static_cast<std::size_t>(std::atol(argv[i + 1]));
  }
  std::string pattern = (fs::temp_directory_path() / "af-verify-bench-XXXXXX").string();
  const std::string root = ::mkdtemp(pattern.data());
  std::printf("verify_bench: albumfetcher-cli --verify, photos of %zu bytes, %d an album\n", size, kPerAlbum);
  for (const int n : {photos / 4, photos}) {
    fs::remove_all(root + "/user");
    make_archive(root, n, size);
    run_verify("cached", root, n, size);
    drop_from_cache(root);
    run_verify("disk", root, n, size);
  }
  fs::remove_all(root);
  return 0;
}
