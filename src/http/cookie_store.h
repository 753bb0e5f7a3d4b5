// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The process-wide cookie store that fetch_page uses when the caller supplies no jar.
//
// One curl share handle with cookie sharing and locking: every easy handle attached to
// it sees the same RFC 6265 cookie engine. The login browser is kept in step with it
// (see ui/cookie_bridge.h). The store is saved to a Netscape cookie file with mode 0600:
// persistent cookies survive a restart, session cookies do not.
//
//   CookieStore& store = CookieStore::instance();
//   store.load();                 // at start-up
//   store.set_listener(...);      // the browser bridge hears what our responses set
//   ... fetch_page(...) ...       // attaches its easy handle with attach()
//   store.save();                 // after changes worth keeping
//
// Every member may be called from any thread.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

typedef void CURL;

namespace af {

struct Cookie {
  std::string domain;  // ".example.com" for a domain cookie, "example.com" host-only
  bool include_subdomains = false;
  std::string path = "/";
  bool secure = false;
  bool http_only = false;
  long long expires = 0;  // Unix seconds; 0 for a session cookie
  std::string name;
  std::string value;

  bool is_session() const { return expires == 0; }
  // True when `expires` lies in the past: such a cookie stands for its removal.
  bool is_expired() const;
};

class CookieStore {
 public:
  // Created on first use and never destroyed, so threads still running at exit can keep
  // using it.
  static CookieStore& instance();

  CookieStore(const CookieStore&) = delete;
  CookieStore& operator=(const CookieStore&) = delete;

  // Attaches an easy handle to the shared engine and switches its cookie engine on.
  void attach(CURL* easy);

  // Adds or replaces a cookie (a cookie already expired removes it).
  void set_cookie(const Cookie& cookie);
  // Removes the cookie of that domain, path and name while it still holds `cookie.value`
  // (a browser reports an overwritten cookie with its old value; the new one stays).
  void remove_cookie(const Cookie& cookie);
  // Every cookie that has not expired.
  std::vector<Cookie> all_cookies();

  // Called (on the fetching thread) with each cookie a response of ours set or changed; a
  // cookie a response removed is reported with `expires` in the past. Setting an empty
  // listener waits for a call in progress to finish.
  using Listener = std::function<void(const Cookie&)>;
  void set_listener(Listener listener);
  bool has_listener();
  // Reports to the listener what changed since `before` (a copy of all_cookies()).
  void report_changes(const std::vector<Cookie>& before);
  // The same, limited to the cookies for which `concerns` is true (those a response set):
  // what others changed in the store meanwhile is not reported as this response's doing.
  void report_changes(const std::vector<Cookie>& before, const std::function<bool(const Cookie&)>& concerns);

  // Load/save the Netscape cookie file (default: program_file("cookies.txt")). Only
  // persistent cookies are saved and loaded; the file is written with mode 0600 and
  // replaced in one step. A missing or unreadable file loads nothing.
  void load(const std::string& path = {});
  void save(const std::string& path = {});
  std::string default_path() const;
  void clear();

  struct Impl;

 private:
  CookieStore();
  ~CookieStore();
  Impl* impl_;
};

// True when `host` is `domain` or lies under it at a dot ("photo.weibo.com" within
// "weibo.com"); a leading dot of either and letter case do not matter.
bool host_within(std::string_view host, std::string_view domain);

// True when a request to `host` (no port) carries `cookie`: its domain is the host, or a
// domain cookie's domain ends the host at a dot. Letter case does not matter.
bool cookie_reaches(const Cookie& cookie, std::string_view host);

// One cookie as a line of the Netscape cookie file ("#HttpOnly_" prefix included), and back.
std::string netscape_line(const Cookie& cookie);
bool parse_netscape_line(const std::string& line, Cookie& cookie);

}  // namespace af
