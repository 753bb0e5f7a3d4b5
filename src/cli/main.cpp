// SPDX-License-Identifier: GPL-3.0-or-later
// albumfetcher-cli: the album list and the download of the window, driven from a terminal.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/archive_commands.h"
#include "cli/cli_options.h"
#include "cli/cookie_file.h"
#include "cli/signal_watcher.h"
#include "cli/terminal_views.h"
#include "cli/user_run.h"
#include "core/gate.h"
#include "core/paths.h"
#include "http/transport_notes.h"

namespace {

using namespace af;
using namespace af::cli;

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

  if (!load_login(options, addresses, terminal)) return kExitUsage;

  return run_users(options, addresses, terminal, list_gate, signals);
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
