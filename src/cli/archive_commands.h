// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The commands that look at an archive on disk and request nothing: --verify (with
// --repair) and --gallery. Each returns the program's exit status.
#include <string>

#include "cli/terminal_views.h"

namespace af::cli {

// --verify FOLDER [--repair]: every indexed photo under `root` checked, every bad index line,
// every album folder whose pictures no index tells about and every album held in several
// folders named; with `repair`, such albums folded into one folder first, then the changed
// and damaged files moved aside and every photo not sound forgotten by the records.
int verify_archive(const std::string& root, bool repair, Terminal& terminal);

// --gallery FOLDER: the page of each user folder found in `folder`, one line each on
// standard output.
int write_galleries(const std::string& folder);

}  // namespace af::cli
