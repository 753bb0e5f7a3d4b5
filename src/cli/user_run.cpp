// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/user_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "cli/listing.h"
#include "core/dates.h"
#include "core/pacing.h"
#include "core/paths.h"
#include "core/settings.h"
#include "download/downloader.h"
#include "service/album_list.h"
#include "service/user_page.h"
#include "util/codepage.h"

namespace af::cli {

namespace {

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
    print_album_table(rows);
    return list_failed ? kExitFailed : kExitSaved;
  }

  // "3：下载选中" with the dates the window keeps unless --range says.
  const Settings settings = load_settings();
  DateRange dates{settings.range_start, settings.range_end};
  if (options.range.value_or(false)) dates = {options.range_from, options.range_to};
  // The albums named, or all of them, in list order.
  std::vector<AlbumChoice> listed;
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

}  // namespace

int run_users(const CliOptions& options, const std::vector<std::string>& addresses, Terminal& terminal,
              DownloadControl& list_gate, SignalWatcher& signals) {
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

}  // namespace af::cli
