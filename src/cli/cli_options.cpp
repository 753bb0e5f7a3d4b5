// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/cli_options.h"

#include <algorithm>
#include <charconv>
#include <fstream>

#include "core/dates.h"
#include "core/settings.h"
#include "core/version.h"

namespace af::cli {

namespace {

bool parse_number(const std::string& text, int& value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool parse_album_list(const std::string& text, std::vector<int>& albums) {
  albums.clear();
  if (text == "all") return true;
  std::size_t from = 0;
  for (;;) {
    const std::size_t comma = text.find(',', from);
    const std::string piece = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
    int serial = 0;
    if (!parse_number(piece, serial) || serial < 1) return false;
    albums.push_back(serial);
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  std::sort(albums.begin(), albums.end());
  albums.erase(std::unique(albums.begin(), albums.end()), albums.end());
  return true;
}

}  // namespace

bool parse_cli_arguments(const std::vector<std::string>& args, CliOptions& options,
                         std::string& error) {
  options = CliOptions{};
  if (std::find(args.begin(), args.end(), "--help") != args.end() ||
      std::find(args.begin(), args.end(), "-h") != args.end()) {
    options.help = true;
    return true;
  }
  if (std::find(args.begin(), args.end(), "--version") != args.end()) {
    options.version = true;
    return true;
  }
  std::vector<std::string> operands;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (options_ended || arg.empty() || arg[0] != '-' || arg == "-") {
      operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    // "--name=value" is the same as "--name value".
    std::optional<std::string> inline_value;
    if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      inline_value = arg.substr(eq + 1);
      arg.erase(eq);
    }
    auto value = [&](std::string& out) {
      if (inline_value) {
        out = *inline_value;
        inline_value.reset();
        return true;
      }
      if (i + 1 >= args.size()) {
        error = "option " + arg + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    if (arg == "--list") {
      options.list_only = true;
    } else if (arg == "--list-photos") {
      options.list_photos = true;
    } else if (arg == "--gallery") {
      if (!value(v)) return false;
      if (v.empty()) {
        error = "--gallery wants a folder";
        return false;
      }
      options.gallery_folder = v;
    } else if (arg == "--service-base") {
      if (!value(v)) return false;
      while (!v.empty() && v.back() == '/') v.pop_back();
      if (v.rfind("http://", 0) != 0 && v.rfind("https://", 0) != 0) {
        error = "--service-base wants an http:// or https:// address, not '" + v + "'";
        return false;
      }
      options.service_base = v;
    } else if (arg == "--save-dir") {
      if (!value(v)) return false;
      if (v.empty()) {
        error = "--save-dir wants a folder";
        return false;
      }
      options.save_dir = v;
    } else if (arg == "--albums") {
      if (!value(v)) return false;
      if (!parse_album_list(v, options.albums)) {
        error = "--albums wants 'all' or serial numbers like 1,3,4, not '" + v + "'";
        return false;
      }
    } else if (arg == "--record") {
      if (!value(v)) return false;
      if (v != "on" && v != "off") {
        error = "--record wants on or off, not '" + v + "'";
        return false;
      }
      options.record = v == "on";
    } else if (arg == "--index") {
      if (!value(v)) return false;
      if (v != "on" && v != "off") {
        error = "--index wants on or off, not '" + v + "'";
        return false;
      }
      options.index = v == "on";
    } else if (arg == "--jobs") {
      if (!value(v)) return false;
      int jobs = 0;
      if (!parse_number(v, jobs) || jobs < 1 || jobs > kMostJobs) {
        error = "--jobs wants a number from 1 to " + std::to_string(kMostJobs) + ", not '" + v + "'";
        return false;
      }
      options.jobs = jobs;
    } else if (arg == "--range") {
      if (!value(v)) return false;
      if (v == "off") {
        options.range = false;
        continue;
      }
      std::string to;
      if (!value(to)) return false;
      if (!parse_date(v, options.range_from) || !parse_date(to, options.range_to)) {
        error = "--range wants two dates YYYY-MM-DD (or off), not '" + v + "' '" + to + "'";
        return false;
      }
      // Photos pass strictly between the two midnights: an end on or before the start
      // would keep none.
      if (options.range_to <= options.range_from) {
        error = "--range wants the end date after the start date: " + to + " is not after " + v;
        return false;
      }
      options.range = true;
    } else if (arg == "--cookies") {
      if (!value(v)) return false;
      options.cookies_file = v;
    } else if (arg == "--cookies-from-browser") {
      if (!value(v)) return false;
      const std::size_t colon = v.find(':');
      const std::string browser = v.substr(0, colon);
      if (browser != "firefox") {
        error =
            "--cookies-from-browser reads Firefox only (firefox or firefox:PROFILE), not '" + browser + "'";
        return false;
      }
      options.cookies_from_browser = v;
      options.browser_profile = colon == std::string::npos ? std::string() : v.substr(colon + 1);
    } else if (arg == "--program-dir") {
      if (!value(v)) return false;
      if (v.empty()) {
        error = "--program-dir wants a folder";
        return false;
      }
      options.program_dir = v;
    } else if (arg == "--users") {
      if (!value(v)) return false;
      options.users_file = v;
    } else if (arg == "--verify") {
      if (!value(v)) return false;
      if (v.empty()) {
        error = "--verify wants a folder";
        return false;
      }
      options.verify_folder = v;
    } else if (arg == "--repair") {
      options.repair = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--pace-factor") {
      if (!value(v)) return false;
      int factor = 0;
      if (!parse_number(v, factor)) {
        error = "--pace-factor wants a whole number, not '" + v + "'";
        return false;
      }
      options.pace_factor = factor;
    } else {
      error = "unknown option " + arg;
      return false;
    }
    if (inline_value) {
      error = "option " + arg + " takes no value";
      return false;
    }
  }
  if (options.cookies_file && options.cookies_from_browser) {
    error = "--cookies and --cookies-from-browser cannot be used together: choose one login";
    return false;
  }
  if (options.gallery_folder) {
    if (operands.empty() && !options.users_file && !options.verify_folder) return true;
    error = "--gallery writes the pages of a folder and takes no home page address";
    return false;
  }
  if (options.repair && !options.verify_folder) {
    error = "--repair goes with --verify FOLDER";
    return false;
  }
  if (options.verify_folder) {
    if (!operands.empty() || options.users_file) {
      error = "--verify checks a folder and takes no home page address";
      return false;
    }
    return true;
  }
  if (operands.empty() && !options.users_file) {
    error = "the home page address is missing";
    return false;
  }
  for (const std::string& operand : operands) {
    if (operand.find_first_not_of(" \t") == std::string::npos) {
      error = "the home page address is empty";
      return false;
    }
  }
  options.home_page_addresses = operands;
  return true;
}

bool read_users_file(const std::string& path, std::vector<std::string>& addresses, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read the users file " + path;
    return false;
  }
  for (std::string line; std::getline(in, line);) {
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    addresses.push_back(line.substr(first, line.find_last_not_of(" \t\r") + 1 - first));
  }
  return true;
}

std::string usage_text() {
  return R"(Usage: albumfetcher-cli [options] HOME_PAGE_ADDRESS...
       albumfetcher-cli [options] --users FILE
       albumfetcher-cli --gallery FOLDER
       albumfetcher-cli --verify FOLDER [--repair [--program-dir DIR]]

Downloads the photo albums of users of the photo service, the same way the
Album Fetcher window does: the user's home page gives the user id, the album
list gives the albums, and the chosen albums are saved photo by photo into
SAVE_DIR/<user page title>/<album name><photo count>/. Several addresses are
done one after the other with the same options, and a summary table follows.

Options:
  --list                 Resolve the user, fetch the album list, print it as a
                         table (serial number, name, photo count) and exit.
  --list-photos          For the chosen albums, print one line per photo that a
                         download would save (number, upload time in China
                         Standard Time, image address, caption; tab-separated)
                         without downloading anything, and exit. The album
                         each group of lines belongs to is named on standard
                         error.
  --albums all|N[,N...]  The serial numbers (as --list shows them) of the
                         albums to download. Default: all.
  --save-dir DIR         Where the user folders go. Default: the program
                         directory.
  --record on|off        Use the download record (photos already attempted for
                         this user are skipped) or not. Default: the setting
                         of the window (peizi.ini).
  --index on|off         Keep the album index (.albumfetcher-index.jsonl in
                         each album folder: file name, photo and post ids,
                         upload time, whole caption, image address of every
                         photo saved) or not. Default: the setting of the
                         window (on unless switched off there).
  --gallery FOLDER       Write the page to look through (相册浏览.html) of a
                         user folder, or of every user folder in a save
                         folder, from the album indexes already on disk, and
                         exit. No request is made. A download writes it too,
                         after each album, unless switched off in the window.
  --jobs N               Fetch N photos at once, 1 to 8 (the log, the files and
                         the record stay in album order). Default: the setting
                         of the window (1 unless changed there).
  --range FROM TO        Only photos uploaded strictly between midnight (China
                         Standard Time) of FROM and midnight of TO, dates as
                         YYYY-MM-DD, TO after FROM; photos of the day TO
                         itself are left out.
  --range off            No upload-time range. Default: the setting of the
                         window, with the dates it keeps (2006-03-30 and
                         tomorrow until they are changed there).
  --cookies FILE         Use the cookies of this Netscape cookie file (as
                         browsers and curl export them, session cookies
                         included). Default: the cookies the window keeps in
                         the program directory, so a login made in the window
                         counts here too. Cookies are never written back.
  --cookies-from-browser firefox[:PROFILE]
                         Use the login of a Firefox profile instead: the
                         cookies of weibo.com, sina.com.cn and the service's
                         hosts in its cookies.sqlite, read from a copy, for
                         this run only. PROFILE is a profile folder or a
                         profile name of profiles.ini; default: Firefox's
                         default profile (under ~/.mozilla/firefox, the Snap's
                         or the Flatpak's folder). Not with --cookies.
  --service-base URL     Base address of the photo service.
                         Default: http://photo.weibo.com
  --program-dir DIR      Use DIR as the program directory (settings file,
                         download records, cookies), for portable use and
                         tests.
  --users FILE           Also download the users whose home page addresses
                         FILE holds, one a line (blank lines and lines
                         starting with # are skipped).
  --verify FOLDER        Check every photo that the album indexes under FOLDER
                         (a save folder, a user folder or an album folder)
                         name: present, the same size and SHA-256 as saved,
                         a whole picture. Prints each photo that is missing,
                         changed or damaged, files no index names, albums
                         held in several folders, and one summary line per
                         album folder. Without --repair it changes nothing.
  --repair               With --verify: fold each album held in several
                         folders into one, move each changed or damaged file
                         aside to <name>.damaged, and remove the missing,
                         changed and damaged photos from the download records
                         of the program directory, so that the next download
                         with --record on fetches exactly them again.
  --pace-factor N        For tests only: divide the program's fixed waits by N
                         (0 removes them). Keep the waits against the real
                         service.
  --verbose              Also print, on standard error, the network library's
                         own words (in English) for each request that failed,
                         with its address. The log names causes in Chinese
                         only.
  -h, --help             Show this text.
  --version              Show the program's version.

The settings file is read, never written: --record, --index, --jobs and --range
apply to this run only.

Output: every line of the window's log goes to standard output (UTF-8); the
progress goes to standard error (a bar on a terminal, plain lines otherwise),
together with the texts of the window's message boxes.

Ctrl-C (SIGINT) or SIGTERM ends the download cleanly: no partly written photo
stays behind and the download record stays intact. A second signal quits at once.

Exit status:
  0    every wanted photo was saved (or --list printed a non-empty list);
       with --verify: every indexed photo is sound
  1    some photo failed (a "失败" line in the log), or the save folder or the
       disk refused a write (the download stops there), or the download record
       could not be used with the record on, or the user could not be
       resolved, or the album list was empty or could not be fetched; with
       several users: any of this for any user; with --verify: a photo is
       missing, changed or damaged, or no album index was found
  2    wrong arguments (also a serial number that the album list lacks, a
       cookie file that cannot be read, or a Firefox profile that cannot be
       found, whose cookie database cannot be read, or that holds no login
       cookie of the service)
  75   try later: the service limits or refuses this machine's requests
       (HTTP 414, 418, 429, a "too frequent" page, or 432) for longer than
       an album's tries; nothing more was asked, standard error says when to
       run again, and with several users the users after it are not run
  130  ended by SIGINT (143 by SIGTERM)
)";
}

std::string version_text() {
  return std::string("albumfetcher-cli (Album Fetcher) ") + program_version() + "\n";
}

}  // namespace af::cli
