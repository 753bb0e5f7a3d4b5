#pragma once
// --cookies-from-browser: the login of a browser profile, for one run of albumfetcher-cli.
//
//   if (std::string why = load_browser_login(profile, options.service_base, addresses); !why.empty())
//     ... tell why, exit 2 ...
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

// Loads the cookies of the service's domains from the Firefox profile `profile` (a folder,
// a profile name, or "" for the default one; looked for under $HOME). Empty when at least
// one was loaded, else why not.
std::string load_browser_login(const std::string& profile, const std::string& service_base,
                               const std::vector<std::string>& addresses, std::size_t& loaded);

}  // namespace af::cli
