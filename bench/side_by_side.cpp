// SPDX-License-Identifier: GPL-3.0-or-later
// Side-by-side benchmark on loopback (not a test): one album of 1,000 photos of 100 KiB
// from the sample service, fetched by albumfetcher-cli with its waits removed
// (--pace-factor 0), by curl in one process (the image addresses one after another, each
// body to a file), by wget in one process (`-i list`) and, when installed, by aria2c fed the
// same list (`-i list`, its own defaults: five downloads at once). Each runs as a child process,
// `--runs` times (default 5) in turn; the bench prints the median wall time, the median
// CPU time (user + system), the largest peak resident size of each, and the ratios of the
// medians to curl's.
//
//   side_by_side [--photos N] [--size BYTES] [--runs N] [--jobs N] [--record on|off]
//                [--wrap 'COMMAND WORDS'] (put before the program's command: strace -c, perf)
//                [--program PATH] (another build of albumfetcher-cli, to compare two builds)
//
// The program downloads with the record on (a fresh record each run, so every photo is
// fetched), the album index on and every photo flushed to disk, as it does by default; its
// figures include the home page, the album list and the photo list pages.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "child_run.h"
#include "sample_service.h"

namespace {

namespace fs = std::filesystem;
using afbench::Figures;

struct Series {
  const char* name;
  std::vector<Figures> runs;

  static double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
  }
  double wall() const {
    std::vector<double> v;
    for (const auto& f : runs) v.push_back(f.wall);
    return median(v);
  }
  double cpu() const {
    std::vector<double> v;
    for (const auto& f : runs) v.push_back(f.cpu);
    return median(v);
  }
  long peak_kib() const {
    long peak = 0;
    for (const auto& f : runs) peak = std::max(peak, f.peak_kib);
    return peak;
  }
  void print() const {
    if (runs.empty()) return;
    bool whole = true;
    std::string walls;
    for (const auto& f : runs) {
      whole = whole && f.status == 0;
      char one[32];
      std::snprintf(one, sizeof one, "%s%.2f", walls.empty() ? "" : ", ", f.wall);
      walls += one;
    }
    std::printf("  %-8s wall %6.2f s  cpu %5.2f s  peak %6.1f MiB  files %zu  (walls: %s)%s\n", name, wall(),
                cpu(), peak_kib() / 1024.0, runs.back().files, walls.c_str(),
                whole ? "" : "  (an exit status was not 0)");
  }
};

}  // namespace

int main(int argc, char** argv) {
  int photos = 1000;
  std::size_t size = 100 * 1024;
  int runs = 5;
  int jobs = 1;
  std::string record = "on";
  std::vector<std::string> wrapper;  // words put before the program's (a profiler, strace)
  std::string cli = AF_CLI_PATH;     // --program: another build of albumfetcher-cli, to compare
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--photos" && i + 1 < argc)
      photos = std::atoi(argv[++i]);
    else if (arg == "--size" && i + 1 < argc)
      size = std::strtoul(argv[++i], nullptr, 10);
    else if (arg == "--runs" && i + 1 < argc)
      runs = std::atoi(argv[++i]);
    else if (arg == "--jobs" && i + 1 < argc)
      jobs = std::atoi(argv[++i]);
    else if (arg == "--program" && i + 1 < argc)
      cli = argv[++i];
    else if (arg == "--record" && i + 1 < argc)
      record = argv[++i];
    else if (arg == "--wrap" && i + 1 < argc) {
      std::istringstream words(argv[++i]);
      for (std::string word; words >> word;) wrapper.push_back(word);
    } else {
      std::fprintf(stderr,
                   "usage: side_by_side [--photos N] [--size BYTES] [--runs N] [--jobs N] [--record on|off] "
                   "[--wrap 'COMMAND WORDS'] [--program PATH]\n");
      return 2;
    }
  }

  afsample::SampleService service;
  auto user = afsample::make_user("8201", "/u/8201", "Bench");
  auto album = afsample::make_album("820100000001", "Bench", photos);
  for (auto& photo : album.photos) photo.image_size = size;
  user.albums.push_back(album);
  service.add_user(user);
  const std::string base = service.base_url();

  char pattern[] = "/tmp/af-side-by-side-XXXXXX";
  const std::string work = ::mkdtemp(pattern);
  const std::string list = work + "/urls.txt";
  const std::string config = work + "/curl.txt";
  {
    std::ofstream urls(list);
    for (const auto& photo : album.photos) urls << base << "/large/" << photo.pic_name << "\n";
  }
  for (int round = 0; round < runs; ++round) {  // curl's list names the run's own folder
    std::ofstream curl(config + std::to_string(round));
    for (const auto& photo : album.photos)
      curl << "url = \"" << base << "/large/" << photo.pic_name << "\"\noutput = \"" << work << "/curl"
           << round << "/" << photo.pic_name << "\"\n";
  }

  Series program{"program", {}}, curl{"curl", {}}, wget{"wget", {}}, aria2{"aria2c", {}};
  const bool have_curl = afbench::on_path("curl"), have_wget = afbench::on_path("wget"),
             have_aria2 = afbench::on_path("aria2c");
  // Every run writes to folders of its own, all removed at the end: a tool that created its
  // files among inodes freed a moment before would pay for it (ext4 passes over recently
  // freed inodes one by one), and each starts after a sync, so that none waits for the
  // write-back of the one before.
  // One run of a tool into `folder`, which it writes (made first, synced after the runs
  // before it).
  const auto measure = [&](Series& series, const std::vector<std::string>& command,
                           const std::string& folder) {
    fs::create_directories(folder);
    ::sync();
    Figures f = afbench::run_child(command, work + "/log-" + series.name);
    f.files = afbench::files_under(folder);
    series.runs.push_back(f);
  };
  for (int round = 0; round < runs; ++round) {
    const std::string n = std::to_string(round);
    // A fresh save folder and record for each run: every photo is fetched every time.
    fs::create_directories(work + "/program" + n);
    std::vector<std::string> command = wrapper;
    for (const std::string& word :
         {cli, std::string("--program-dir"), work + "/program" + n,
          std::string("--service-base"), base, std::string("--save-dir"), work + "/save" + n,
          std::string("--record"), record, std::string("--pace-factor"), std::string("0"),
          std::string("--jobs"), std::to_string(jobs), base + "/u/" + user.uid})
      command.push_back(word);
    measure(program, command, work + "/save" + n);
    if (have_curl) measure(curl, {"curl", "-s", "-K", config + n}, work + "/curl" + n);
    if (have_wget) measure(wget, {"wget", "-q", "-P", work + "/wget" + n, "-i", list}, work + "/wget" + n);
    if (have_aria2)
      measure(aria2, {"aria2c", "-q", "-d", work + "/aria2" + n, "-i", list}, work + "/aria2" + n);
  }

  std::printf(
      "album: %d photos of %zu bytes on loopback; program: --pace-factor 0, --jobs %d, --record %s; "
      "medians of %d\n",
      photos, size, jobs, record.c_str(), runs);
  program.print();
  curl.print();
  wget.print();
  aria2.print();
  if (!have_curl) std::printf("  curl not installed, skipped\n");
  if (!have_wget) std::printf("  wget not installed, skipped\n");
  if (!have_aria2) std::printf("  aria2c not installed, skipped\n");
  if (have_curl)
    std::printf("program / curl: wall %.2f x, cpu %.2f x (goal: wall at most 1.3 x; peak at most 25 MiB)\n",
                program.wall() / curl.wall(), program.cpu() / curl.cpu());
  if (have_wget)
    std::printf("program / wget: wall %.2f x (goal: below 1)\n", program.wall() / wget.wall());
  if (have_aria2) std::printf("program / aria2c: wall %.2f x\n", program.wall() / aria2.wall());
  fs::remove_all(work);
  return 0;
}
