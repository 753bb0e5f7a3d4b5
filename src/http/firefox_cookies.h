// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The cookies of a Firefox profile, for a run that takes its login from the browser.
//
//   std::string error;
//   std::optional<std::string> folder = find_firefox_profile(home, "", error);  // the default
//   FirefoxCookies read = read_firefox_cookies(*folder, [](std::string_view host) { ... });
//   if (!read.error.empty()) ... else ... read.cookies ...
//
// The profile's cookies.sqlite, with cookies.sqlite-wal where Firefox keeps its recent
// writes, is copied into a private temporary folder and only the copy is opened, read-only:
// nothing in the profile is written, locked or left behind, so a running Firefox neither
// blocks the read nor notices it.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/cookie_store.h"

namespace af {

// The folders Firefox keeps its profiles in under `home`, in the order they are searched:
// the distribution's package, the Snap, the Flatpak.
std::vector<std::string> firefox_folders(const std::string& home);

// The profile folder that `profile` names: a folder (a text holding '/'), the Name= of a
// profile in profiles.ini, or, when empty, the default profile (the first [Install...]
// section's Default=, else the [Profile...] with Default=1, else the only profile). nullopt
// with the reason in `error` when there is none.
std::optional<std::string> find_firefox_profile(const std::string& home, const std::string& profile,
                                                std::string& error);

struct FirefoxCookies {
  std::vector<Cookie> cookies;
  std::string error;  // empty when the database was read
};

// The cookies of the profile's cookies.sqlite whose host `wanted` accepts (a host as
// Firefox keeps it: ".weibo.com" for a domain cookie, "weibo.com" host-only), leaving out
// those already expired and those of container tabs, private windows and partitions.
FirefoxCookies read_firefox_cookies(const std::string& profile_folder,
                                    const std::function<bool(std::string_view host)>& wanted);

// True when `host` (".weibo.com", "photo.weibo.com"; any case) is one of `domains` (lower
// case, no leading dot) or lies under one.
bool host_on_domains(std::string_view host, const std::vector<std::string>& domains);

// A moz_cookies expiry as Unix seconds: most Firefox versions keep seconds, some
// milliseconds; a figure beyond the year 5000 in seconds is taken as milliseconds.
long long firefox_expiry_seconds(long long expiry);

}  // namespace af
