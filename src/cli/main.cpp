// SPDX-License-Identifier: GPL-3.0-or-later
// albumfetcher-cli: the album list and the download of the window, driven from a terminal.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/archive_commands.h"
#include "cli/browser_login.h"
#include "cli/cli_options.h"
#include "cli/terminal_views.h"
#include "core/dates.h"
#include "core/gate.h"
#include "core/pacing.h"
#include "core/paths.h"
#include "core/settings.h"
#include "download/archive.h"
#include "download/downloader.h"
#include "download/photo_saver.h"
#include "download/record_store.h"
#include "http/cookie_store.h"
#include "http/transport_notes.h"
#include "service/album_list.h"
#include "service/photo_list.h"
#include "service/service_limit.h"
#include "service/user_page.h"
#include "util/codepage.h"

namespace {

using namespace af;
using namespace af::cli;

// SIGINT and SIGTERM are blocked in every thread and taken by one thread with sigwait, so
// no work is done in a signal handler. The first signal ends the album list job at once
// (through its gate) and the download under way (through the stop set for it); a second
// one quits.
class SignalWatcher {
 public:
  explicit SignalWatcher(DownloadControl& list_gate) : list_gate_(list_gate) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    std::thread([this] { watch(); }).detach();
  }

  int signal_number() const { return signal_.load(); }
  // Runs `stop` at the first signal, or at once if it has come, until another stop is set.
  void set_stop(std::function<void()> stop) {
    std::lock_guard lock(mutex_);
    stop_ = std::move(stop);
    if (stop_ && signal_number() != 0) stop_();
  }

 private:
  void watch() {
    for (;;) {
      int number = 0;
      if (sigwait(&set_, &number) != 0) continue;
      if (signal_.exchange(number) != 0) _exit(128 + number);
      list_gate_.end();
      std::lock_guard lock(mutex_);
      if (stop_) stop_();
    }
  }

  sigset_t set_;
  DownloadControl& list_gate_;
  std::atomic<int> signal_{0};
  std::mutex mutex_;
  std::function<void()> stop_;
};

// Loads a Netscape cookie file in full: the cookies the user hands over count for this run,
// session cookies included. An empty text when done, else why the file could not be read.
std::string load_cookie_file(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return "it is a folder, not a cookie file";
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::strerror(errno);
  std::string line;
  CookieStore& store = CookieStore::instance();
  while (std::getline(in, line)) {
    Cookie cookie;
    if (!parse_netscape_line(line, cookie) || cookie.is_expired()) continue;
    store.set_cookie(cookie);
  }
  if (in.bad()) return std::strerror(errno);
  return {};
}

std::string table_cell(const std::string& gbk) {
  std::string text = gbk_to_utf8(gbk);
  for (char& c : text)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return text;
}

// What one user's run came to, for the summary of a run of several users.
struct UserOutcome {
  std::string address;  // as given
  std::string title;    // the home page's title (UTF-8); empty when it was not had
  std::size_t albums = 0;
  TerminalDownloadView::Tally tally;
  int status = kExitSaved;
  bool storage_failed = false;
  bool limited = false;  // the service limited this machine's requests: the run stopped
  bool ran = false;
};

// The summary table on standard output: one line per user, tab-separated.
void print_summary(const std::vector<UserOutcome>& outcomes) {
  std::string table = "address\tuser\talbums\tsaved\tskipped\tfailed\tresult\n";
  for (const UserOutcome& o : outcomes) {
    const char* result = !o.ran                   ? "not run"
                         : o.limited              ? "limited"
                         : o.storage_failed       ? "stopped"
                         : o.status == kExitSaved ? "ok"
                                                  : "failed";
    table += table_cell(utf8_to_gb18030(o.address)) + "\t" +
             (o.title.empty() ? "-" : table_cell(utf8_to_gb18030(o.title))) + "\t" +
             std::to_string(o.albums) + "\t" + std::to_string(o.tally.saved) + "\t" +
             std::to_string(o.tally.skipped) + "\t" + std::to_string(o.tally.failed) + "\t" + result + "\n";
  }
  std::fwrite(table.data(), 1, table.size(), stdout);
  std::fflush(stdout);
}

// --list-photos: the photos that a download of `albums` would save, one line each on
// standard output, in the download's order; no image is requested.
int list_photos(const DownloadRequest& request, const ServiceEndpoints& endpoints, const Pacing& pacing,
                Terminal& terminal, DownloadControl& gate) {
  DownloadRecord record;
  if (request.record) record.open_record_store(record_store_path(request.user_id));
  const UploadRange range = upload_range(request);
  bool complete = true;
  for (const TickedAlbum& album : request.albums) {
    terminal.note(gbk_to_utf8(G("相册") + std::to_string(album.serial) + " " + album.name));
    WalkFailure failure;
    const AlbumWalk walk{.endpoints = endpoints, .user_id = request.user_id,
                         .photo_count_text = album.photos.text, .album = album.album,
                         .pacing = pacing, .gate = &gate, .failure = &failure};
    std::string lines;
    const bool walked = walk_album(walk, [&](const PhotoEntry& entry, std::int64_t position) {
      if (unwanted_photo(entry, range, request.record, record)) return true;
      const std::optional<std::int64_t> uploaded = upload_time(entry.timestamp);
      lines += std::to_string(position) + "\t" +
               (uploaded ? china_time_text(*uploaded) : table_cell(entry.timestamp)) + "\t" +
               table_cell(entry.image_address) + "\t" + table_cell(entry.caption_full) + "\n";
      return true;
    });
    std::fwrite(lines.data(), 1, lines.size(), stdout);
    std::fflush(stdout);
    if (failure.page > 0 && limits_this_machine(failure.problem)) {
      // Every later album would meet the same limit: nothing more is asked.
      const ServiceLimit limit = lasting_limit(failure.problem, failure.retry_after_ms);
      terminal.note(gbk_to_utf8(album_failure_line(album.name, failure) + limit.text));
      terminal.note(limit_note(limit));
      return kExitTryLater;
    }
    if (failure.page > 0) {
      // The later photos of the album are not listed; the page and the cause are told.
      std::string line = gbk_to_utf8(album_failure_line(album.name, failure));
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      terminal.note(line);
      complete = false;
    }
    if (!walked) complete = false;
  }
  return complete ? kExitSaved : kExitFailed;
}

// One user's run: "2：获取相册" for `address`, then "3：下载选中" (or a listing).
int run_user(const CliOptions& options, const std::string& address, Terminal& terminal,
             DownloadControl& list_gate, SignalWatcher& signals, UserOutcome& outcome) {
  auto interrupted = [&] { return signals.signal_number() != 0; };
  auto interrupted_status = [&] {
    terminal.finish_progress();
    terminal.note("albumfetcher-cli: ended by signal " + std::to_string(signals.signal_number()));
    return 128 + signals.signal_number();
  };

  const Pacing pacing = options.pace_factor ? Pacing::shortened(*options.pace_factor) : Pacing{};
  ServiceEndpoints endpoints;
  endpoints.photo_base = options.service_base;

  if (options.list_photos) terminal.send_log_to_error();
  // "2：获取相册": resolve the user, then the album list job on its own thread.
  auto list_view = std::make_shared<TerminalAlbumListView>(terminal);
  ResolvedUser user;
  AlbumsCommand command{endpoints, utf8_to_gb18030(address), pacing, &list_gate};
  std::thread job = get_albums(command, list_view, user);
  // The record is made while the album list's waits run, not after them.
  if (job.joinable() && !options.list_only && !options.list_photos) prepare_download(user.user_id);
  if (job.joinable()) job.join();
  terminal.finish_progress();
  if (interrupted()) return interrupted_status();

  // The home page or the album list failed: the view has said why on standard error.
  const bool list_failed = !list_view->failure().empty();
  outcome.title = gbk_to_utf8(user.user_title);
  if (list_view->limited()) {
    outcome.limited = true;
    return kExitTryLater;
  }
  if (user.user_id.empty()) {
    if (!list_failed)
      terminal.note("albumfetcher-cli: no user id found on the home page " +
                    gbk_to_utf8(user.home_page_address));
    return kExitFailed;
  }
  const std::vector<AlbumRow> rows = list_view->rows();
  if (rows.empty()) {
    if (!list_failed) terminal.note("albumfetcher-cli: the album list holds no album with photos");
    return kExitFailed;
  }

  if (options.list_only) {
    std::string table = gbk_to_utf8(G("序号") + "\t" + G("相册名称") + "\t" + G("图片数量")) + "\n";
    for (const AlbumRow& row : rows)
      table += std::to_string(row.serial) + "\t" + table_cell(row.caption) + "\t" +
               table_cell(row.photos.text) + "\n";
    std::fwrite(table.data(), 1, table.size(), stdout);
    std::fflush(stdout);
    return list_failed ? kExitFailed : kExitSaved;
  }

  // "3：下载选中" with the dates the window keeps unless --range says.
  const Settings settings = load_settings();
  DateRange dates{settings.range_start, settings.range_end};
  if (options.range.value_or(false)) dates = {options.range_from, options.range_to};
  // The albums named, or all of them, in list order.
  std::vector<ListedAlbum> listed;
  for (const AlbumRow& row : rows) {
    listed.push_back({row, options.albums.empty() || std::find(options.albums.begin(), options.albums.end(),
                                                               row.serial) != options.albums.end()});
  }
  DownloadRequest request =
      download_request(settings, {options.record, options.range, options.index, {}, options.jobs}, dates, user,
                       listed, options.save_dir ? *options.save_dir : program_directory());  // byte for byte
  for (int serial : options.albums) {
    if (serial > static_cast<int>(rows.size())) {
      terminal.note("albumfetcher-cli: there is no album " + std::to_string(serial) +
                    " (the list holds 1 to " + std::to_string(rows.size()) + ")");
      return kExitUsage;
    }
  }

  outcome.albums = request.albums.size();
  if (!options.range && request.range) {
    // Without --range the dates the window keeps are the bounds; the user is told which.
    terminal.note("albumfetcher-cli: upload-time range on in peizi.ini: only photos uploaded after " +
                  date_text(dates.start) + " and before " + date_text(dates.end) +
                  " (midnights, China Standard Time); --range FROM TO or --range off chooses otherwise");
  }
  if (options.list_photos) {
    const int status = list_photos(request, endpoints, pacing, terminal, list_gate);
    if (interrupted()) return interrupted_status();
    outcome.limited = status == kExitTryLater;
    return status;
  }
  TerminalDownloadView view(terminal);
  Downloader downloader(view, {endpoints, pacing});
  if (!downloader.start(request)) return kExitFailed;
  // The first signal ends the download; its worker then returns at its next step.
  signals.set_stop([&downloader] { downloader.end_download(); });
  downloader.wait_for_worker(std::chrono::hours(24 * 365));
  signals.set_stop(nullptr);
  terminal.finish_progress();
  const TerminalDownloadView::Outcome came = view.outcome();
  outcome.tally = came.tally;
  outcome.storage_failed = came.storage_failed;
  outcome.limited = came.limited;
  if (interrupted() && !came.finished) return interrupted_status();
  if (came.limited) return kExitTryLater;
  // Anything wanted that is missing (a photo, a page, part of the album list) is a failure;
  // so is, with the record on, a record that could not be used (the next run would fetch
  // everything again).
  const bool record_failed = came.record_unusable && request.record;
  if (list_failed || came.failures > 0 || !came.finished || came.storage_failed || record_failed)
    return kExitFailed;
  return kExitSaved;
}

int run(const CliOptions& options, Terminal& terminal, DownloadControl& list_gate, SignalWatcher& signals) {
  if (options.program_dir) {
    std::error_code error;
    std::filesystem::create_directories(*options.program_dir, error);
    if (!std::filesystem::is_directory(*options.program_dir, error)) {
      terminal.note("albumfetcher-cli: --program-dir " + *options.program_dir + " is not a folder");
      return kExitUsage;
    }
    set_program_directory(std::filesystem::absolute(*options.program_dir, error).string());
  }

  if (options.verify_folder) return verify_archive(*options.verify_folder, options.repair, terminal);

  // The listener goes before the terminal it writes to.
  struct StopListening {
    ~StopListening() { listen_to_transport({}); }
  } stop_listening;
  if (options.verbose) {
    listen_to_transport([&terminal](const std::string& address, const std::string& words) {
      terminal.note("albumfetcher-cli: " + address + ": " + words);
    });
  }

  std::vector<std::string> addresses = options.home_page_addresses;
  if (options.users_file) {
    std::string error;
    if (!read_users_file(*options.users_file, addresses, error)) {
      terminal.note("albumfetcher-cli: " + error);
      return kExitUsage;
    }
  }

  if (options.cookies_file) {
    if (const std::string why = load_cookie_file(*options.cookies_file); !why.empty()) {
      terminal.note("albumfetcher-cli: --cookies " + *options.cookies_file +
                    ": cannot read the cookie file: " + why);
      return kExitUsage;
    }
  } else if (options.cookies_from_browser) {
    // The browser's login for this run; the window's saved one is left as it is.
    const BrowserLogin login = load_browser_login(options.browser_profile, options.service_base, addresses);
    if (!login.error.empty()) {
      terminal.note("albumfetcher-cli: --cookies-from-browser " + *options.cookies_from_browser + ": " +
                    login.error);
      return kExitUsage;
    }
    terminal.note("albumfetcher-cli: " + std::to_string(login.loaded) +
                  " cookies of the service taken from " + login.profile_folder);
  } else {
    CookieStore::instance().load();
  }

  if (addresses.size() == 1 && !options.users_file) {
    UserOutcome outcome;
    return run_user(options, addresses[0], terminal, list_gate, signals, outcome);
  }
  if (addresses.empty()) {
    terminal.note("albumfetcher-cli: the users file holds no address");
    return kExitUsage;
  }
  // Each user in turn with the same options; one user's failure is told and the next goes
  // on, but a save folder or disk that refuses writes would refuse every user.
  std::vector<UserOutcome> outcomes(addresses.size());
  int status = kExitSaved;
  bool stopped = false;
  for (std::size_t k = 0; k < addresses.size(); ++k) {
    UserOutcome& outcome = outcomes[k];
    outcome.address = addresses[k];
    if (stopped) continue;
    terminal.note("albumfetcher-cli: user " + std::to_string(k + 1) + " of " +
                  std::to_string(addresses.size()) + ": " + addresses[k]);
    outcome.status = run_user(options, addresses[k], terminal, list_gate, signals, outcome);
    outcome.ran = true;
    if (signals.signal_number() != 0) return outcome.status;
    if (outcome.status != kExitSaved && status != kExitTryLater) status = kExitFailed;
    if (outcome.limited) {
      // The limit is on this machine, not on the user: every later user would meet it.
      terminal.note("albumfetcher-cli: the service limits this machine's requests; the users after this one "
                    "are not run");
      status = kExitTryLater;
      stopped = true;
    } else if (outcome.storage_failed) {
      terminal.note(
          "albumfetcher-cli: the save folder refused a write; the users after this one are not run");
      stopped = true;
    }
  }
  if (!options.list_photos) print_summary(outcomes);
  return status;
}
}  // namespace

int main(int argc, char* argv[]) {
  // Before any thread exists, so that every thread inherits the blocked signals.
  // Never destroyed: the watching thread may still hold them while the process exits.
  auto* list_gate = new DownloadControl;
  auto* signals = new SignalWatcher(*list_gate);
  ::signal(SIGPIPE, SIG_IGN);  // a closed output stream must not kill a download

  std::vector<std::string> args(argv + 1, argv + argc);
  CliOptions options;
  std::string error;
  if (!parse_cli_arguments(args, options, error)) {
    std::fprintf(stderr, "albumfetcher-cli: %s\nTry 'albumfetcher-cli --help'.\n", error.c_str());
    return kExitUsage;
  }
  if (options.help) {
    const std::string text = usage_text();
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kExitSaved;
  }
  if (options.version) {
    const std::string text = version_text();
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kExitSaved;
  }
  if (options.gallery_folder) return write_galleries(*options.gallery_folder);
  Terminal terminal(::isatty(STDERR_FILENO) == 1);
  return run(options, terminal, *list_gate, *signals);
}
