// Several-at-once benchmark (not a test): an album of 500 photos of about 100 KB from the
// sample service with 100 ms added to every answer, as a far link adds it. It runs
// albumfetcher-cli at 1, 2, 4 and 8 photos at once, then curl (one process fetching the
// image addresses one after another) and gallery-dl (the same addresses, when installed),
// each as a child process, and prints the wall time, the CPU time and the peak memory of
// each, and the ratios. Then the peak memory of the program at 2,000 photos and 8 at once.
//
//   parallel_bench [--photos N] [--size BYTES] [--latency-ms MS] [--bandwidth BYTES_PER_S]
//                  [--jobs 1,2,4,8] [--big N] (0: no big run)
//
// The program's figures include its fixed waits before the photos (home page, album list:
// about 1.2 s) and the 50 ms wait after every image request on each connection.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sample_service.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Figures {
  bool ran = false;
  int status = -1;
  double wall = 0;    // seconds
  double cpu = 0;     // user + system seconds
  long peak_kib = 0;  // largest resident set
  std::size_t files = 0;
};

// Runs `args` as a child, its output to `log`, and takes its figures.
Figures run_child(const std::vector<std::string>& args, const std::string& log) {
  Figures figures;
  std::fflush(stdout);  // the child must not print what the bench has printed
  const auto start = Clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    std::FILE* out = std::freopen(log.c_str(), "w", stdout);
    std::FILE* err = std::freopen((log + ".err").c_str(), "w", stderr);
    (void)out;
    (void)err;
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (::wait4(child, &status, 0, &usage) != child) return figures;
  figures.wall = std::chrono::duration<double>(Clock::now() - start).count();
  figures.ran = WIFEXITED(status) && WEXITSTATUS(status) != 127;
  figures.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  figures.cpu =
      usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  figures.peak_kib = usage.ru_maxrss;
  return figures;
}

std::size_t files_under(const std::string& root) {
  std::size_t n = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error))
    if (it->is_regular_file() && it->path().filename().string()[0] != '.') ++n;
  return n;
}

bool on_path(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

void print(const char* name, const Figures& f) {
  std::printf("  %-22s wall %7.2f s  cpu %6.2f s  peak %7.1f MiB  files %zu%s\n", name, f.wall, f.cpu,
              f.peak_kib / 1024.0, f.files, f.status == 0 ? "" : "  (exit status not 0)");
  std::fflush(stdout);
}

std::vector<int> parse_list(const std::string& text) {
  std::vector<int> values;
  std::stringstream in(text);
  for (std::string piece; std::getline(in, piece, ',');) values.push_back(std::atoi(piece.c_str()));
  return values;
}

}  // namespace

int main(int argc, char** argv) {
  int photos = 500;
  std::size_t size = 100 * 1024;
  int latency_ms = 100;
  long long bandwidth = 0;
  std::vector<int> jobs = {1, 2, 4, 8};
  int big = 2000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--photos" && i + 1 < argc)
      photos = std::atoi(argv[++i]);
    else if (arg == "--size" && i + 1 < argc)
      size = std::strtoul(argv[++i], nullptr, 10);
    else if (arg == "--latency-ms" && i + 1 < argc)
      latency_ms = std::atoi(argv[++i]);
    else if (arg == "--bandwidth" && i + 1 < argc)
      bandwidth = std::atoll(argv[++i]);
    else if (arg == "--jobs" && i + 1 < argc)
      jobs = parse_list(argv[++i]);
    else if (arg == "--big" && i + 1 < argc)
      big = std::atoi(argv[++i]);
    else {
      std::fprintf(stderr,
                   "usage: parallel_bench [--photos N] [--size BYTES] [--latency-ms MS] "
                   "[--bandwidth BYTES_PER_S] [--jobs 1,2,4,8] [--big N]\n");
      return 2;
    }
  }

  afsample::SampleService service;
  const auto add_user = [&](const std::string& uid, int count) {
    auto user = afsample::make_user(uid, "/u/" + uid, "Bench");
    auto album = afsample::make_album(uid + "00000001", "Bench", count);
    for (auto& photo : album.photos) photo.image_size = size;
    user.albums.push_back(album);
    service.add_user(user);
    return user;
  };
  const auto user = add_user("8101", photos);
  service.set_link(std::chrono::milliseconds(latency_ms), bandwidth);
  const std::string base = service.base_url();

  char pattern[] = "/tmp/af-parallel-bench-XXXXXX";
  const std::string work = ::mkdtemp(pattern);
  const std::string cli = AF_CLI_PATH;
  const auto program = [&](const std::string& uid, int at_once) {
    const std::string tag = uid + "-" + std::to_string(at_once);
    const std::string save = work + "/save-" + tag;
    fs::create_directories(work + "/program-" + tag);
    Figures f =
        run_child({cli, "--program-dir", work + "/program-" + tag, "--service-base", base, "--save-dir", save,
                   "--record", "off", "--jobs", std::to_string(at_once), base + "/u/" + uid},
                  work + "/log-" + tag);
    f.files = files_under(save);
    fs::remove_all(save);
    return f;
  };

  std::printf("album: %d photos of %zu bytes; %d ms added to every answer; bandwidth %s\n", photos, size,
              latency_ms, bandwidth > 0 ? (std::to_string(bandwidth) + " bytes/s").c_str() : "not capped");
  std::vector<std::pair<int, Figures>> runs;
  for (int at_once : jobs) {
    runs.emplace_back(at_once, program(user.uid, at_once));
    print(("program, " + std::to_string(at_once) + " at once").c_str(), runs.back().second);
  }

  // The same image addresses for the peers.
  const std::string list = work + "/urls.txt";
  const std::string config = work + "/curl.txt";
  {
    std::ofstream urls(list);
    std::ofstream curl(config);
    for (const auto& photo : user.albums[0].photos) {
      const std::string address = base + "/large/" + photo.pic_name;
      urls << address << "\n";
      curl << "url = \"" << address << "\"\noutput = \"" << work << "/curl/" << photo.pic_name << "\"\n";
    }
  }
  Figures curl;
  if (on_path("curl")) {
    fs::create_directories(work + "/curl");
    curl = run_child({"curl", "-s", "-K", config}, work + "/log-curl");
    curl.files = files_under(work + "/curl");
    fs::remove_all(work + "/curl");
    print("curl, one after another", curl);
  } else {
    std::printf("  curl not installed, skipped\n");
  }
  Figures gallery;
  if (on_path("gallery-dl")) {
    gallery =
        run_child({"gallery-dl", "--quiet", "-d", work + "/gallery", "-i", list}, work + "/log-gallery");
    gallery.files = files_under(work + "/gallery");
    fs::remove_all(work + "/gallery");
    print("gallery-dl", gallery);
  } else {
    std::printf("  gallery-dl not installed, skipped\n");
  }

  std::printf("ratios of wall time:\n");
  const Figures* alone = nullptr;
  for (const auto& [at_once, f] : runs)
    if (at_once == 1) alone = &f;
  for (const auto& [at_once, f] : runs) {
    std::printf("  program at %d:", at_once);
    if (alone) std::printf("  %.2f x the program at 1", f.wall / alone->wall);
    if (curl.ran) std::printf("  %.2f x curl", f.wall / curl.wall);
    if (gallery.ran) std::printf("  %.2f x gallery-dl", f.wall / gallery.wall);
    std::printf("\n");
  }
  std::printf("goals: at 4 at once at most 0.3 x the program at 1 and at most 0.5 x gallery-dl\n");

  if (big > 0) {
    const auto big_user = add_user("8102", big);
    const Figures f = program(big_user.uid, 8);
    std::printf("%d photos, 8 at once:\n", big);
    print("program, 8 at once", f);
    std::printf("goal: peak memory at most 40 MiB\n");
  }
  fs::remove_all(work);
  return 0;
}
