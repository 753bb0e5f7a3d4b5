// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command line of albumfetcher-cli, parsed into one value.
//
//   CliOptions options;
//   std::string error;
//   if (!parse_cli_arguments(args, options, error)) { print error; exit 2; }
//
// Texts here are UTF-8, as the terminal gives them.
#include <optional>
#include <string>
#include <vector>

#include "service/model.h"

namespace af::cli {

// The exit statuses: everything wanted was done; something was not; the command line (or a
// file or folder it names) is wrong; the service limits this machine, so try later
// (EX_TEMPFAIL).
inline constexpr int kExitSaved = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitTryLater = 75;

struct CliOptions {
  bool help = false;
  bool version = false;                        // --version
  bool list_only = false;                      // --list
  bool list_photos = false;                    // --list-photos
  std::vector<std::string> home_page_addresses;  // the operands, one user each, in order
  std::optional<std::string> users_file;         // --users FILE: more addresses, one a line
  std::optional<std::string> verify_folder;      // --verify FOLDER
  bool repair = false;                           // --repair (with --verify)
  std::optional<std::string> gallery_folder;   // --gallery FOLDER: write the pages, no address
  std::string service_base{kDefaultServiceBase};
  std::optional<std::string> save_dir;         // --save-dir; unset: the program directory
  std::vector<int> albums;                     // --albums; empty: all, else serials ascending
  std::optional<bool> record;                  // --record on|off
  std::optional<bool> index;                   // --index on|off
  std::optional<int> jobs;                     // --jobs N, 1 to 8
  std::optional<bool> range;                   // --range FROM TO (true) or --range off (false)
  DateTime range_from;
  DateTime range_to;
  std::optional<std::string> cookies_file;     // --cookies FILE
  // --cookies-from-browser firefox[:PROFILE]: the value as given, and PROFILE ("": the default)
  std::optional<std::string> cookies_from_browser;
  std::string browser_profile;
  std::optional<std::string> program_dir;      // --program-dir DIR
  std::optional<int> pace_factor;              // --pace-factor N (tests)
  bool verbose = false;                        // --verbose: the transport's words on stderr
};

// False with a one-line reason in `error` when the arguments are wrong. `--help` or
// `--version` anywhere makes the rest unchecked.
bool parse_cli_arguments(const std::vector<std::string>& args, CliOptions& options,
                         std::string& error);

// The addresses of a --users file, one a line; blanks around them, blank lines and lines
// starting with "#" are dropped. False with the reason in `error` when it cannot be read.
bool read_users_file(const std::string& path, std::vector<std::string>& addresses, std::string& error);

// The --help text.
std::string usage_text();

// The --version text: "albumfetcher-cli (Album Fetcher) 1.0" and a line end.
std::string version_text();

}  // namespace af::cli
