// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The login of one run of albumfetcher-cli: a cookie file (--cookies FILE, Netscape format),
// a browser profile (--cookies-from-browser), or the window's saved cookies.
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/terminal_views.h"

namespace af::cli {

// Fills the process-wide CookieStore as `options` choose, for the users at `addresses`.
// False when the chosen cookies could not be had; why has been told on `terminal`.
bool load_login(const CliOptions& options, const std::vector<std::string>& addresses, Terminal& terminal);

}  // namespace af::cli
