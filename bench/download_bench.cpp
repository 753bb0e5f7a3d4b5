// Download benchmark (not a test): 2,000 photos of about 100 KB from the sample service on
// loopback. Prints the program's time per photo beyond the 50 ms wait, the same figure for
// the curl command fetching the same addresses one after another in one process, their
// ratio, and the peak memory at 200 and at 2,000 photos.
//
//   download_bench [--photos N] [--size BYTES] [--wait-ms MS] [--no-sync]
//
// The service runs in a child process, so the figures are the downloader's alone.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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
  explicit BenchView(std::vector<af::TickedAlbum> rows, std::string save)
      : rows_(std::move(rows)), save_(std::move(save)) {}
  std::vector<af::TickedAlbum> ticked_albums() override { return rows_; }
  std::string save_folder_text() override { return save_; }
  af::DateTime range_start() override { return {2006, 3, 30}; }
  af::DateTime range_end() override { return {2025, 12, 30}; }
  void append_log(af::Generation, const std::string& text) override { log_ += text; }
  void set_label(af::Generation, af::DownloadLabel, const std::string&) override {}
  void set_progress_maximum(af::Generation, int) override {}
  void set_progress_position(af::Generation, int position) override {
    if (position == 200 && rss_at_200 < 0) rss_at_200 = peak_rss_kib();
  }
  void set_buttons(af::Generation, af::ButtonState) override {}
  void show_message(af::Generation, const std::string&) override {}

  long rss_at_200 = -1;
  std::string log_;

 private:
  std::vector<af::TickedAlbum> rows_;
  std::string save_;
};

}  // namespace

int main(int argc, char** argv) {
  int photos = 2000;
  std::size_t size = 100 * 1024;
  int wait_ms = 50;
  bool sync = true;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--photos" && i + 1 < argc) photos = std::atoi(argv[++i]);
    else if (arg == "--size" && i + 1 < argc) size = std::strtoul(argv[++i], nullptr, 10);
    else if (arg == "--wait-ms" && i + 1 < argc) wait_ms = std::atoi(argv[++i]);
    else if (arg == "--no-sync") sync = false;
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

  // The program: the whole album through the download engine.
  BenchView view({{"1", "Bench", std::to_string(photos), album_id + "@@18"}}, work + "/save");
  af::DownloaderOptions options;
  options.endpoints.photo_base = base;
  options.pacing.after_photo = std::chrono::milliseconds(wait_ms);
  options.sync_files = sync;
  double program_seconds = 0;
  {
    af::Downloader downloader(view, options);
    const auto start = Clock::now();
    downloader.start_download(uid, "Bench");
    downloader.wait_for_worker(std::chrono::hours(2));
    program_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  }
  const long rss_at_end = peak_rss_kib();
  std::size_t written = 0;
  for (const auto& entry : fs::recursive_directory_iterator(work + "/save"))
    if (entry.is_regular_file()) ++written;

  // The baseline: curl fetching the same addresses one after another in one process.
  const std::string config = work + "/urls.txt";
  {
    std::ofstream out(config);
    for (const auto& photo : album.photos)
      out << "url = \"" << base << "/large/" << photo.pic_name << "\"\noutput = \"/dev/null\"\n";
  }
  const auto curl_start = Clock::now();
  const int curl_status = std::system(("curl -s -K " + config).c_str());
  const double curl_seconds = std::chrono::duration<double>(Clock::now() - curl_start).count();

  ::kill(server, SIGKILL);
  ::waitpid(server, nullptr, 0);
  fs::remove_all(work);

  const double program_ms = program_seconds * 1000 / photos - wait_ms;
  const double curl_ms = curl_seconds * 1000 / photos;
  std::printf("photos: %d of %zu bytes, %zu written%s\n", photos, size, written,
              view.log_.find("\xCA\xA7\xB0\xDC") == std::string::npos ? "" : " (failures logged)");
  std::printf("program: %.3f ms per photo beyond the %d ms wait (%s)\n", program_ms, wait_ms,
              sync ? "each photo flushed to disk" : "no flush");
  std::printf("curl:    %.3f ms per photo (exit status %d)\n", curl_ms, curl_status);
  std::printf("ratio:   %.2f (goal: at most 1.2)\n", program_ms / curl_ms);
  std::printf("peak memory: %ld KiB at 200 photos, %ld KiB at %d photos\n", view.rss_at_200,
              rss_at_end, photos);
  return 0;
}
