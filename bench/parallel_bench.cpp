// SPDX-License-Identifier: GPL-3.0-or-later
// Several-at-once benchmark (not a test): an album of 200 photos of about 100 KB from the
// sample service with 100 ms added to every answer, as a far link adds it. It runs
// albumfetcher-cli at 1, 4 and 8 photos at once, and after each the curl command with as
// many transfers in flight over the same image addresses (`curl --parallel --parallel-max
// N`; one after another at 1), then gallery-dl (when installed), each as a child process,
// and prints the wall time, the CPU time and the peak memory of each. For each run it also
// prints its image phase, from the service's own clock: from the first image request to
// the last one, plus the latency, plus for the program the wait after the last photo. The
// program's image phase is set against the paced limit, photos / jobs x (latency + 50 ms):
// each lane's requests one after another, each with its 50 ms wait. Then the peak memory
// of the program at 2,000 photos and 8 at once.
//
//   parallel_bench [--photos N] [--size BYTES] [--latency-ms MS] [--bandwidth BYTES_PER_S]
//                  [--jobs 1,4,8] [--big N] (0: no big run)
//                  [--interrupt-after N] [--interrupt-runs N] (0: no SIGINT runs)
//                  [--program PATH] (another build of albumfetcher-cli, to compare two builds)
//
// The program's wall time includes its fixed waits before the photos (the album list's 1 s,
// the album's 200 ms) and the requests before the first image; its image phase does not.
// The whole run is set against its own paced limit: those requests one after another at
// the latency each, those waits, and the image phase's paced limit. Last, for each number
// at once, the program is sent SIGINT once the service has taken `--interrupt-after` image
// requests (record on), and the time until it has ended is printed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <signal.h>

#include <algorithm>

#include "child_run.h"
#include "core/pacing.h"
#include "sample_service.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 50;  // the program's wait after each image request

// A run's figures and its image phase, in seconds (0: no image asked for).
struct Figures : afbench::Figures {
  double images = 0;
  double whole_limit = 0;  // the paced limit of the whole run (see whole_limit)
};

Figures run_child(const std::vector<std::string>& args, const std::string& log) {
  return {afbench::run_child(args, log)};
}
using afbench::files_under;
using afbench::on_path;

// From the first image request the service took up to the last, plus the way back of the
// last answer and `after_last`.
double image_phase(const afsample::SampleService& service, int latency_ms, int after_last_ms) {
  std::optional<Clock::time_point> first;
  Clock::time_point last;
  for (const auto& request : service.requests()) {
    if (request.path.rfind("/large/", 0) != 0) continue;
    if (!first || request.at < *first) first = request.at;
    last = std::max(last, request.at);
  }
  if (!first) return 0;
  return std::chrono::duration<double>(last - *first).count() + (latency_ms + after_last_ms) / 1000.0;
}

// The paced limit of a whole run: the requests before the first image one after another,
// each taking the latency, the album list's wait and the album's wait (the pacing's, which
// the program keeps), then `images_limit`.
double whole_limit(const afsample::SampleService& service, int latency_ms, double images_limit) {
  std::optional<Clock::time_point> first;
  for (const auto& request : service.requests())
    if (request.path.rfind("/large/", 0) == 0 && (!first || request.at < *first)) first = request.at;
  if (!first) return 0;
  int before = 0;
  for (const auto& request : service.requests())
    if (request.path.rfind("/large/", 0) != 0 && request.at < *first) ++before;
  const af::Pacing pacing;
  return before * latency_ms / 1000.0 +
         std::chrono::duration<double>(pacing.after_album_list + pacing.per_album).count() + images_limit;
}

// Seconds from `sent` to the end of the child that started at `started` and ran `wall`.
double answered_after(Clock::time_point started, double wall, Clock::time_point sent) {
  return wall - std::chrono::duration<double>(sent - started).count();
}

void print(const char* name, const Figures& f) {
  std::printf("  %-24s wall %7.2f s  images %7.2f s  cpu %6.2f s  peak %7.1f MiB  files %zu%s\n", name,
              f.wall, f.images, f.cpu, f.peak_kib / 1024.0, f.files,
              f.status == 0 ? "" : "  (exit status not 0)");
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
  int photos = 200;
  std::size_t size = 100 * 1024;
  int latency_ms = 100;
  long long bandwidth = 0;
  std::vector<int> jobs = {1, 4, 8};
  int big = 2000;
  int interrupt_after = 20;  // image requests before the SIGINT (0: no interrupt runs)
  int interrupt_runs = 5;
  std::string cli = AF_CLI_PATH;  // --program: another build of albumfetcher-cli, to compare
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
    else if (arg == "--interrupt-after" && i + 1 < argc)
      interrupt_after = std::atoi(argv[++i]);
    else if (arg == "--interrupt-runs" && i + 1 < argc)
      interrupt_runs = std::atoi(argv[++i]);
    else if (arg == "--program" && i + 1 < argc)
      cli = argv[++i];
    else {
      std::fprintf(stderr,
                   "usage: parallel_bench [--photos N] [--size BYTES] [--latency-ms MS] "
                   "[--bandwidth BYTES_PER_S] [--jobs 1,4,8] [--big N] [--interrupt-after N] "
                   "[--interrupt-runs N] [--program PATH]\n");
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
  const auto program_args = [&](const std::string& uid, int at_once, const std::string& tag,
                                 const std::string& record) {
    fs::create_directories(work + "/program-" + tag);
    return std::vector<std::string>{cli, "--program-dir", work + "/program-" + tag, "--service-base", base,
                                    "--save-dir", work + "/save-" + tag, "--record", record, "--jobs",
                                    std::to_string(at_once), base + "/u/" + uid};
  };
  const auto program = [&](const std::string& uid, int at_once) {
    const std::string tag = uid + "-" + std::to_string(at_once);
    service.clear_requests();
    Figures f = run_child(program_args(uid, at_once, tag, "off"), work + "/log-" + tag);
    f.files = files_under(work + "/save-" + tag);
    f.images = image_phase(service, latency_ms, kWaitMs);
    const int rounds = (photos + at_once - 1) / at_once;
    f.whole_limit = whole_limit(service, latency_ms, rounds * (latency_ms + kWaitMs) / 1000.0);
    fs::remove_all(work + "/save-" + tag);
    return f;
  };
  // SIGINT after `interrupt_after` image requests, record on: the seconds until the
  // program has ended (-1: it ended first).
  const auto interrupted = [&](const std::string& uid, int at_once, int run) {
    const std::string tag = uid + "-" + std::to_string(at_once) + "-int" + std::to_string(run);
    service.clear_requests();
    const afbench::Started child = afbench::start_child(program_args(uid, at_once, tag, "on"), work + "/log-" + tag);
    std::optional<Clock::time_point> sent;
    const afbench::Figures f = afbench::wait_child(child, [&] {
      if (sent) return;
      std::size_t images = 0;
      for (const auto& request : service.requests()) images += request.path.rfind("/large/", 0) == 0 ? 1 : 0;
      if (images < static_cast<std::size_t>(interrupt_after)) return;
      ::kill(child.pid, SIGINT);
      sent = Clock::now();
    });
    fs::remove_all(work + "/save-" + tag);
    fs::remove_all(work + "/program-" + tag);
    return sent ? answered_after(child.start, f.wall, *sent) : -1.0;
  };

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
  const bool have_curl = on_path("curl");
  const auto curl_run = [&](int at_once) {
    fs::create_directories(work + "/curl");
    service.clear_requests();
    std::vector<std::string> args = {"curl", "-s", "-K", config};
    if (at_once > 1) args.insert(args.end(), {"--parallel", "--parallel-max", std::to_string(at_once)});
    Figures f = run_child(args, work + "/log-curl");
    f.files = files_under(work + "/curl");
    f.images = image_phase(service, latency_ms, 0);
    fs::remove_all(work + "/curl");
    return f;
  };

  std::printf("album: %d photos of %zu bytes; %d ms added to every answer; bandwidth %s\n", photos, size,
              latency_ms, bandwidth > 0 ? (std::to_string(bandwidth) + " bytes/s").c_str() : "not capped");
  struct Run {
    int at_once;
    Figures program;
    Figures curl;
    double paced;  // seconds
  };
  std::vector<Run> runs;
  for (int at_once : jobs) {
    Run run{at_once, program(user.uid, at_once), {}, 0};
    const int rounds = (photos + at_once - 1) / at_once;
    run.paced = rounds * (latency_ms + kWaitMs) / 1000.0;
    print(("program, " + std::to_string(at_once) + " at once").c_str(), run.program);
    if (have_curl) {
      run.curl = curl_run(at_once);
      print(("curl, " + std::to_string(at_once) + " in flight").c_str(), run.curl);
    }
    runs.push_back(run);
  }
  if (!have_curl) std::printf("  curl not installed, skipped\n");
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

  std::printf("image phases against the paced limit, photos / jobs x (latency + %d ms):\n", kWaitMs);
  for (const Run& run : runs) {
    std::printf("  %d at once: paced limit %6.2f s  program %6.2f s = %.3f x the limit", run.at_once,
                run.paced, run.program.images, run.program.images / run.paced);
    if (run.curl.ran)
      std::printf("  (curl %.2f s; program %.2f x curl)", run.curl.images,
                  run.program.images / run.curl.images);
    std::printf("\n");
  }
  std::printf("whole runs against their paced limit (requests before the first image at %d ms each, the "
              "list's and the album's waits, the image rounds):\n",
              latency_ms);
  for (const Run& run : runs)
    std::printf("  %d at once: paced limit %6.2f s  program %6.2f s = %.3f x the limit\n", run.at_once,
                run.program.whole_limit, run.program.wall, run.program.wall / run.program.whole_limit);
  const Figures* alone = nullptr;
  for (const Run& run : runs)
    if (run.at_once == 1) alone = &run.program;
  std::printf("ratios of wall time:\n");
  for (const Run& run : runs) {
    std::printf("  program at %d:", run.at_once);
    if (alone) std::printf("  %.2f x the program at 1", run.program.wall / alone->wall);
    if (run.curl.ran) std::printf("  %.2f x curl with as many in flight", run.program.wall / run.curl.wall);
    if (gallery.ran) std::printf("  %.2f x gallery-dl", run.program.wall / gallery.wall);
    std::printf("\n");
  }
  std::printf(
      "goals: images at 4 at once within 1.05 x the paced limit, at 8 at once within 1.1 x; the whole run at 4 "
      "within 1.1 x its paced limit\n");

  if (interrupt_after > 0) {
    std::printf("SIGINT after %d image requests (record on), seconds until the program has ended, %d runs:\n",
                interrupt_after, interrupt_runs);
    for (int at_once : jobs) {
      std::vector<double> times;
      std::string each;
      for (int run = 0; run < interrupt_runs; ++run) {
        times.push_back(interrupted(user.uid, at_once, run));
        char one[32];
        std::snprintf(one, sizeof one, "%s%.3f", each.empty() ? "" : ", ", times.back());
        each += one;
      }
      std::vector<double> sorted = times;
      std::sort(sorted.begin(), sorted.end());
      std::printf("  %d at once: median %.3f s  longest %.3f s  (%s)\n", at_once, sorted[sorted.size() / 2],
                  sorted.back(), each.c_str());
      std::fflush(stdout);
    }
  }

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
