// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/browser_login.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "http/cookie_store.h"
#include "http/firefox_cookies.h"
#include "http/http_session.h"

namespace af::cli {

namespace {

std::string home_folder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir != nullptr)
    return user->pw_dir;
  return {};
}

}  // namespace

std::vector<std::string> service_cookie_domains(const std::string& service_base,
                                                const std::vector<std::string>& addresses) {
  std::vector<std::string> domains{"weibo.com", "sina.com.cn"};
  auto add = [&](const std::string& address) {
    const std::string host = url_host(address);
    if (!host.empty() && !host_on_domains(host, domains)) domains.push_back(host);
  };
  add(service_base);
  for (const std::string& address : addresses) add(address);
  return domains;
}

BrowserLogin load_browser_login(const std::string& profile, const std::string& service_base,
                                const std::vector<std::string>& addresses) {
  BrowserLogin login;
  const std::optional<std::string> folder = find_firefox_profile(home_folder(), profile, login.error);
  if (!folder) return login;
  login.profile_folder = *folder;
  const std::vector<std::string> domains = service_cookie_domains(service_base, addresses);
  const FirefoxCookies read =
      read_firefox_cookies(*folder, [&](std::string_view host) { return host_on_domains(host, domains); });
  if (!read.error.empty()) {
    login.error = read.error;
  } else if (read.cookies.empty()) {
    std::string names;
    for (std::size_t k = 0; k < domains.size(); ++k)
      names += (k == 0 ? "" : k + 1 == domains.size() ? " or " : ", ") + domains[k];
    login.error = "the profile " + *folder + " holds no cookie of " + names +
                  " that is still valid: log in to Weibo in that Firefox profile first";
  }
  if (!login.error.empty()) return login;
  CookieStore& store = CookieStore::instance();
  for (const Cookie& cookie : read.cookies) store.set_cookie(cookie);
  login.loaded = read.cookies.size();
  return login;
}

}  // namespace af::cli
