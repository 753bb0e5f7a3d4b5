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

struct CliOptions {
  bool help = false;
  bool list_only = false;                      // --list
  bool list_photos = false;                    // --list-photos
  std::string home_page_address;               // the one operand
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
  std::optional<std::string> program_dir;      // --program-dir DIR
  std::optional<int> pace_factor;              // --pace-factor N (tests)
};

// False with a one-line reason in `error` when the arguments are wrong. `--help` anywhere
// makes the rest unchecked.
bool parse_cli_arguments(const std::vector<std::string>& args, CliOptions& options,
                         std::string& error);

// "YYYY-MM-DD", a real calendar date, to midnight of that day.
bool parse_date(const std::string& text, DateTime& value);

// The --help text.
std::string usage_text();

}  // namespace af::cli
