// SPDX-License-Identifier: GPL-3.0-or-later
// Download benchmark (not a test): 2,000 photos of about 100 KB from the sample service on
// loopback. For each way of saving it prints the program's time per photo beyond the 50 ms
// wait, the same figure for the curl command fetching the same addresses one after another
// in one process (run right after it, so both see the same machine), their ratio, and the
// peak memory at 200 and at 2,000 photos.
//
//   download_bench [--photos N] [--size BYTES] [--wait-ms MS] [--runs during,after,nosync]
//                  [--paced] [--index on|off]
//
// Ways of saving (--runs, default "during,after"):
//   during  each photo flushed to disk, saved within the wait after its fetch (the default)
//   after   each photo flushed to disk, saved after the wait (the order before)
//   nosync  no flush, saved within the wait
// --index off leaves out the album index (one flushed line per photo; on by default, as in
// the program).
// --paced adds a second baseline: libcurl in this process, fetching the addresses with the
// same wait after each, so that what the service itself pays for the pauses is seen.
//
// The service runs in a child process, so the figures are the downloader's alone.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <curl/curl.h>
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "download/archive.h"
#include "core/paths.h"
#include "download/downloader.h"
#include "sample_service.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

long peak_rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// Counts photos and takes the peak memory when the 200th is reached.
class BenchView : public af::DownloadView {
 public:
  void log(af::Generation, const std::string& text) override { log_ += text; }
  void state_changed(af::Generation, af::DownloadState) override {}
  void albums_chosen(af::Generation, std::size_t) override {}
  void album_started(af::Generation, std::size_t) override {}
  void progress(af::Generation, const af::PhotoProgress& progress) override {
    if (progress.position == 200 && rss_at_200 < 0) rss_at_200 = peak_rss_kib();
  }
  void album_finished(af::Generation) override {}
  void download_finished(af::Generation, bool) override {}
  void message(af::Generation, const std::string&) override {}

  long rss_at_200 = -1;
  std::string log_;
};

struct Way {
  std::string key;
  std::string text;
  bool sync;
  bool during_wait;
};

const Way kWays[] = {
    {"during", "flush on, saved within the wait (default)", true, true},
    {"after", "flush on, saved after the wait (previous order)", true, false},
    {"nosync", "flush off, saved within the wait", false, true},
};

// Resets the peak memory figure, so that each run reports its own.
void reset_peak_rss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

std::size_t files_under(const std::string& root) {
  std::size_t n = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file() && entry.path().filename() != af::kAlbumIndexName) ++n;
  return n;
}

std::size_t to_buffer(char* data, std::size_t size, std::size_t count, void* buffer) {
  static_cast<std::string*>(buffer)->append(data, size * count);
  return size * count;
}

// libcurl in this process, one handle, the given wait after each fetch.
double paced_curl_seconds(const std::vector<std::string>& addresses, int wait_ms) {
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // as the download worker does
  CURL* easy = curl_easy_init();
  std::string buffer;
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &to_buffer);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &buffer);
  const auto start = Clock::now();
  for (const auto& address : addresses) {
    buffer.clear();
    curl_easy_setopt(easy, CURLOPT_URL, address.c_str());
    curl_easy_perform(easy);
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  curl_easy_cleanup(easy);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  int photos = 2000;
  std::size_t size = 100 * 1024;
  int wait_ms = 50;
  std::string runs = "during,after";
  bool paced = false;
  bool index = true;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--photos" && i + 1 < argc) photos = std::atoi(argv[++i]);
    else if (arg == "--size" && i + 1 < argc) size = std::strtoul(argv[++i], nullptr, 10);
    else if (arg == "--wait-ms" && i + 1 < argc) wait_ms = std::atoi(argv[++i]);
    else if (arg == "--runs" && i + 1 < argc) runs = argv[++i];
    else if (arg == "--no-sync") runs = "nosync";
    else if (arg == "--paced") paced = true;
    else if (arg == "--index" && i + 1 < argc) index = std::string(argv[++i]) != "off";
    else {
      std::fprintf(stderr, "usage: download_bench [--photos N] [--size BYTES] [--wait-ms MS] "
                           "[--runs during,after,nosync] [--paced] [--index on|off]\n");
      return 2;
    }
  }
  std::vector<const Way*> ways;
  std::stringstream keys(runs);
  for (std::string key; std::getline(keys, key, ',');) {
    auto way = std::find_if(std::begin(kWays), std::end(kWays), [&](const Way& w) { return w.key == key; });
    if (way == std::end(kWays)) {
      std::fprintf(stderr, "unknown run: %s\n", key.c_str());
      return 2;
    }
    ways.push_back(&*way);
  }

  const std::string uid = "8001";
  const std::string album_id = "800100000001";
  auto user = afsample::make_user(uid, "/u/" + uid, "Bench");
  auto album = afsample::make_album(album_id, "Bench", photos);
  for (auto& photo : album.photos) photo.image_size = size;
  user.albums.push_back(album);

  // The service in its own process; its port comes back through a pipe.
  int port_pipe[2];
  if (::pipe(port_pipe) != 0) return 1;
  pid_t server = ::fork();
  if (server == 0) {
    ::close(port_pipe[0]);
    afsample::SampleService service;
    service.add_user(user);
    int port = service.port();
    if (::write(port_pipe[1], &port, sizeof port) != sizeof port) ::_exit(1);
    for (;;) ::pause();
  }
  ::close(port_pipe[1]);
  int port = 0;
  if (::read(port_pipe[0], &port, sizeof port) != sizeof port) return 1;
  const std::string base = "http://127.0.0.1:" + std::to_string(port);

  char pattern[] = "/tmp/af-bench-XXXXXX";
  const std::string work = ::mkdtemp(pattern);
  af::set_program_directory(work);

  std::vector<std::string> addresses;
  const std::string config = work + "/urls.txt";
  {
    std::ofstream out(config);
    for (const auto& photo : album.photos) {
      addresses.push_back(base + "/large/" + photo.pic_name);
      out << "url = \"" << addresses.back() << "\"\noutput = \"/dev/null\"\n";
    }
  }
  // The baseline: curl fetching the same addresses one after another in one process.
  const auto curl_ms = [&] {
    const auto start = Clock::now();
    const int status = std::system(("curl -s -K " + config).c_str());
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / photos;
    return status == 0 ? ms : -1.0;
  };

  std::printf("photos: %d of %zu bytes, wait %d ms, album index %s\n", photos, size, wait_ms,
              index ? "on" : "off");
  for (const Way* way : ways) {
    // The program: the whole album through the download engine.
    const std::string save = work + "/save-" + way->key;
    BenchView view;
    af::DownloadRequest request;
    request.user_id = uid;
    request.user_title = "Bench";
    request.albums = {{1, "Bench", photos, af::AlbumRef{album_id, "18"}}};
    request.save_folder = save;
    request.index = index;
    af::DownloaderOptions options;
    options.endpoints.photo_base = base;
    options.pacing.after_photo = std::chrono::milliseconds(wait_ms);
    options.sync_files = way->sync;
    options.save_during_wait = way->during_wait;
    reset_peak_rss();
    double program_seconds = 0;
    {
      af::Downloader downloader(view, options);
      const auto start = Clock::now();
      downloader.start(std::move(request));
      downloader.wait_for_worker(std::chrono::hours(2));
      program_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    const long rss_at_end = peak_rss_kib();
    const std::size_t written = files_under(save);
    fs::remove_all(save);
    const double curl = curl_ms();
    const double program_ms = program_seconds * 1000 / photos - wait_ms;
    std::printf("%s\n", way->text.c_str());
    std::printf("  program: %.3f ms per photo beyond the %d ms wait (%zu written%s)\n", program_ms,
                wait_ms, written,
                view.log_.find("\xCA\xA7\xB0\xDC") == std::string::npos ? "" : ", failures logged");
    std::printf("  curl:    %.3f ms per photo\n", curl);
    std::printf("  ratio:   %.2f (goal: at most 1.2)\n", program_ms / curl);
    std::printf("  peak memory: %ld KiB at 200 photos, %ld KiB at %d photos\n", view.rss_at_200,
                rss_at_end, photos);
    std::fflush(stdout);
  }
  if (paced) {
    const double seconds = paced_curl_seconds(addresses, wait_ms);
    std::printf("libcurl in this process with the same wait: %.3f ms per photo beyond the wait\n",
                seconds * 1000 / photos - wait_ms);
  }

  ::kill(server, SIGKILL);
  ::waitpid(server, nullptr, 0);
  fs::remove_all(work);
  return 0;
}
