// SPDX-License-Identifier: GPL-3.0-or-later
// Scale benchmark (not a test): one album of N photos of 10 KiB, downloaded by
// albumfetcher-cli with its waits removed (--pace-factor 0, record and index on), then
// downloaded again with every photo recorded, then checked (--verify) and given its page
// (--gallery). Each of the four runs is a child process; for each size it prints the wall
// time (per photo for the download), the CPU time and the peak resident size of the whole
// program, and at the end how the time per photo and the peaks of the largest size compare
// with those of the smallest.
//
//   scale_bench [--photos 2000,50000] [--size BYTES] [--jobs N] [--keep]
//
// The sample service runs in a child process of its own, forked before the album is made,
// so the bench process stays small: a child's ru_maxrss counts the pages it shared with the
// bench before its exec, and the peak printed is the larger of ru_maxrss and the child's
// own VmHWM, read while it runs. --keep leaves the work folder (its path is printed).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "child_run.h"
#include "sample_service.h"

namespace {

namespace fs = std::filesystem;

struct Options {
  std::vector<int> sizes{2000, 50000};
  std::size_t bytes = 10 * 1024;
  int jobs = 1;
  bool keep = false;
};

// The service with one user and one album of `photos` photos, in a child process; its base
// address comes back through a pipe. The child is ended by SIGKILL.
pid_t start_service(int photos, std::size_t bytes, std::string& base) {
  int port_pipe[2];
  if (::pipe(port_pipe) != 0) return -1;
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(port_pipe[0]);
    afsample::SampleService service;
    auto user = afsample::make_user("8301", "/u/8301", "Scale");
    auto album = afsample::make_album("830100000001", "Scale", photos);
    for (auto& photo : album.photos) photo.image_size = bytes;
    user.albums.push_back(std::move(album));
    service.add_user(std::move(user));
    const int port = service.port();
    if (::write(port_pipe[1], &port, sizeof port) != sizeof port) ::_exit(1);
    for (;;) ::pause();
  }
  ::close(port_pipe[1]);
  int port = 0;
  const bool read = ::read(port_pipe[0], &port, sizeof port) == sizeof port;
  ::close(port_pipe[0]);
  if (!read) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return -1;
  }
  base = "http://127.0.0.1:" + std::to_string(port);
  return child;
}

struct Run {
  const char* name;
  afbench::Figures figures;
  double peak_mib() const {
    return std::max(figures.peak_kib, figures.maxrss_kib) / 1024.0;
  }
};

struct SizeFigures {
  int photos = 0;
  std::vector<Run> runs;
  std::uintmax_t page_bytes = 0;
  double service_cpu = 0;  // seconds, over the four runs
};

void print(const SizeFigures& size) {
  std::printf("%d photos:\n", size.photos);
  for (const Run& run : size.runs) {
    const afbench::Figures& f = run.figures;
    std::printf("  %-9s wall %7.2f s (%6.3f ms/photo)  cpu %6.2f s  peak %5.1f MiB%s\n", run.name, f.wall,
                f.wall * 1000 / size.photos, f.cpu, run.peak_mib(),
                f.status == 0 ? "" : "  (exit status not 0)");
  }
  std::printf("  gallery page: %ju bytes; the sample service's CPU over the runs: %.2f s\n", size.page_bytes,
              size.service_cpu);
  std::fflush(stdout);
}

SizeFigures measure(int photos, const Options& options) {
  SizeFigures size;
  size.photos = photos;
  std::string base;
  const pid_t service = start_service(photos, options.bytes, base);
  if (service < 0) {
    std::fprintf(stderr, "scale_bench: the sample service did not start\n");
    std::exit(1);
  }
  char pattern[] = "/tmp/af-scale-XXXXXX";
  const std::string work = ::mkdtemp(pattern);
  const std::string save = work + "/save";
  fs::create_directories(work + "/program");
  const std::vector<std::string> download = {AF_CLI_PATH,
                                             "--program-dir",
                                             work + "/program",
                                             "--service-base",
                                             base,
                                             "--save-dir",
                                             save,
                                             "--record",
                                             "on",
                                             "--index",
                                             "on",
                                             "--pace-factor",
                                             "0",
                                             "--jobs",
                                             std::to_string(options.jobs),
                                             base + "/u/8301"};
  size.runs.push_back({"download", afbench::run_child(download, work + "/log-download")});
  size.runs.push_back({"rerun", afbench::run_child(download, work + "/log-rerun")});
  size.runs.push_back({"verify", afbench::run_child({AF_CLI_PATH, "--verify", save}, work + "/log-verify")});
  size.runs.push_back({"gallery", afbench::run_child({AF_CLI_PATH, "--gallery", save}, work + "/log-gallery")});
  std::error_code error;
  for (fs::recursive_directory_iterator it(save, error), end; !error && it != end; it.increment(error))
    if (it->path().filename() == "相册浏览.html") size.page_bytes = fs::file_size(it->path(), error);
  const std::size_t files = afbench::files_under(save);
  if (files != static_cast<std::size_t>(photos) + 1)
    std::printf("  (%zu files saved, %d photos and the page wanted)\n", files, photos);
  // The service's own time: it looks each image up among the album's photos one by one.
  ::kill(service, SIGKILL);
  struct rusage usage {};
  ::wait4(service, nullptr, 0, &usage);
  size.service_cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                     (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (options.keep)
    std::printf("  work folder kept: %s\n", work.c_str());
  else
    fs::remove_all(work);
  return size;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--photos" && i + 1 < argc) {
      options.sizes.clear();
      std::stringstream list(argv[++i]);
      for (std::string n; std::getline(list, n, ',');) options.sizes.push_back(std::atoi(n.c_str()));
    } else if (arg == "--size" && i + 1 < argc) {
      options.bytes = std::strtoul(argv[++i], nullptr, 10);
    } else if (arg == "--jobs" && i + 1 < argc) {
      options.jobs = std::atoi(argv[++i]);
    } else if (arg == "--keep") {
      options.keep = true;
    } else {
      std::fprintf(stderr, "usage: scale_bench [--photos N[,N...]] [--size BYTES] [--jobs N] [--keep]\n");
      return 2;
    }
  }
  std::printf("one album, photos of %zu bytes, --pace-factor 0, --jobs %d, record and index on\n",
              options.bytes, options.jobs);
  std::vector<SizeFigures> all;
  for (const int photos : options.sizes) {
    all.push_back(measure(photos, options));
    print(all.back());
  }
  if (all.size() < 2) return 0;
  const SizeFigures& small = all.front();
  const SizeFigures& large = all.back();
  std::printf("%d against %d photos (goal: time per photo within 20 %%, every peak at most 25 MiB):\n",
              large.photos, small.photos);
  for (std::size_t k = 0; k < small.runs.size(); ++k) {
    const double per_small = small.runs[k].figures.wall / small.photos;
    const double per_large = large.runs[k].figures.wall / large.photos;
    const double cpu_small = small.runs[k].figures.cpu / small.photos;
    const double cpu_large = large.runs[k].figures.cpu / large.photos;
    std::printf("  %-9s time per photo %.2f x (CPU per photo %.2f x), peak %.1f -> %.1f MiB\n",
                small.runs[k].name, per_large / per_small, cpu_large / cpu_small, small.runs[k].peak_mib(),
                large.runs[k].peak_mib());
  }
  return 0;
}
