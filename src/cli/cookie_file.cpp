// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/cookie_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "cli/browser_login.h"
#include "http/cookie_store.h"

namespace af::cli {

namespace {

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

}  // namespace

bool load_login(const CliOptions& options, const std::vector<std::string>& addresses, Terminal& terminal) {
  if (options.cookies_file) {
    if (const std::string why = load_cookie_file(*options.cookies_file); !why.empty()) {
      terminal.note("albumfetcher-cli: --cookies " + *options.cookies_file +
                    ": cannot read the cookie file: " + why);
      return false;
    }
  } else if (options.cookies_from_browser) {
    // The browser's login for this run; the window's saved one is left as it is.
    const BrowserLogin login = load_browser_login(options.browser_profile, options.service_base, addresses);
    if (!login.error.empty()) {
      terminal.note("albumfetcher-cli: --cookies-from-browser " + *options.cookies_from_browser + ": " +
                    login.error);
      return false;
    }
    terminal.note("albumfetcher-cli: " + std::to_string(login.loaded) +
                  " cookies of the service taken from " + login.profile_folder);
  } else {
    CookieStore::instance().load();
  }
  return true;
}

}  // namespace af::cli
