// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The users' runs of albumfetcher-cli: for each address "2：获取相册", then "3：下载选中" (or a
// listing); several users in turn with a summary table on standard output.
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/signal_watcher.h"
#include "cli/terminal_views.h"

namespace af::cli {

// Runs the users at `addresses` (one given on the command line, or those of a --users file)
// and returns the program's exit status.
int run_users(const CliOptions& options, const std::vector<std::string>& addresses, Terminal& terminal,
              DownloadControl& list_gate, SignalWatcher& signals);

}  // namespace af::cli
