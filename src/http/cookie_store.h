#pragma once
// The process-wide cookie store that fetch_page uses when the caller supplies no jar.
//
// One curl share handle with cookie sharing and locking: every easy handle attached to
// it sees the same RFC 6265 cookie engine. The login browser is kept in step with it
// (see ui/cookie_bridge.h). The store is saved to a Netscape cookie file with mode 0600:
// persistent cookies survive a restart, session cookies do not.
#include <functional>
#include <string>
#include <vector>

typedef void CURL;

namespace af {

struct Cookie {
  std::string domain;        // ".example.com" for a domain cookie, "example.com" host-only
  bool include_subdomains = false;
  std::string path = "/";
  bool secure = false;
  bool http_only = false;
  long long expires = 0;     // Unix seconds; 0 for a session cookie
  std::string name;
  std::string value;
};

class CookieStore {
 public:
  static CookieStore& instance();

  // Attaches an easy handle to the shared engine.
  void attach(CURL* easy);

  // Adds or replaces a cookie (a cookie already expired removes it).
  void set_cookie(const Cookie& cookie);
  void remove_cookie(const Cookie& cookie);
  std::vector<Cookie> all_cookies();

  // Called (on the fetching thread) with each cookie a response of ours set.
  using Listener = std::function<void(const Cookie&)>;
  void set_listener(Listener listener);

  // Load/save the Netscape cookie file (default: program_file("cookies.txt")).
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

}  // namespace af
