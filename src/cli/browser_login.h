// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// --cookies-from-browser: the login of a browser profile, for one run of albumfetcher-cli.
//
//   const BrowserLogin login = load_browser_login(profile, options.service_base, addresses);
//   if (!login.error.empty()) ... tell login.error, exit 2 ...
//
// The profile's cookies of the service's domains go into the process-wide CookieStore, in
// place of the window's saved login; nothing is written back, neither to the browser nor
// to the program's own cookie file.
#include <string>
#include <vector>

namespace af::cli {

// The domains the service's login cookies live on: weibo.com (home pages, photo lists,
// profile look-ups), sina.com.cn (the login's single sign-on, which expired sessions are
// sent through), and the hosts this run asks: the service base and the home pages. Image
// hosts are not among them, since image requests carry no cookies.
std::vector<std::string> service_cookie_domains(const std::string& service_base,
                                                const std::vector<std::string>& addresses);

struct BrowserLogin {
  std::string error;           // empty when at least one cookie was loaded
  std::string profile_folder;  // the profile read
  std::size_t loaded = 0;
};

// Loads the cookies of the service's domains from the Firefox profile `profile` (a folder,
// a profile name, or "" for the default one; looked for under $HOME).
BrowserLogin load_browser_login(const std::string& profile, const std::string& service_base,
                                const std::vector<std::string>& addresses);

}  // namespace af::cli
