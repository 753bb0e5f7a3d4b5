// SPDX-License-Identifier: GPL-3.0-or-later
#include "http/cookie_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <tuple>

#include "core/paths.h"
#include "http/curl_handles.h"
#include "http/transfer.h"
#include "util/text.h"

namespace af {

namespace {

constexpr std::string_view kHttpOnlyPrefix = "#HttpOnly_";

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t begin = 0;
  for (;;) {
    std::size_t tab = line.find('\t', begin);
    if (tab == std::string::npos) {
      fields.push_back(line.substr(begin));
      return fields;
    }
    fields.push_back(line.substr(begin, tab - begin));
    begin = tab + 1;
  }
}

std::string cookie_key(const Cookie& c) { return c.domain + '\t' + c.path + '\t' + c.name; }

bool same_cookie(const Cookie& a, const Cookie& b) {
  return std::tie(a.domain, a.include_subdomains, a.path, a.secure, a.http_only, a.expires, a.name,
                  a.value) ==
         std::tie(b.domain, b.include_subdomains, b.path, b.secure, b.http_only, b.expires, b.name, b.value);
}

}  // namespace

bool Cookie::is_expired() const {
  return expires != 0 && expires <= static_cast<long long>(std::time(nullptr));
}

std::string netscape_line(const Cookie& cookie) {
  std::string domain = cookie.domain;
  bool tail = cookie.include_subdomains || (!domain.empty() && domain[0] == '.');
  if (tail && (domain.empty() || domain[0] != '.')) domain.insert(domain.begin(), '.');
  std::string line;
  if (cookie.http_only) line += kHttpOnlyPrefix;
  line += domain;
  line += tail ? "\tTRUE\t" : "\tFALSE\t";
  line += cookie.path.empty() ? std::string("/") : cookie.path;
  line += cookie.secure ? "\tTRUE\t" : "\tFALSE\t";
  line += std::to_string(cookie.expires);
  line += '\t';
  line += cookie.name;
  line += '\t';
  line += cookie.value;
  return line;
}

bool parse_netscape_line(const std::string& text, Cookie& cookie) {
  std::string line = text;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  cookie = Cookie{};
  if (line.compare(0, kHttpOnlyPrefix.size(), kHttpOnlyPrefix) == 0) {
    cookie.http_only = true;
    line.erase(0, kHttpOnlyPrefix.size());
  } else if (line.empty() || line[0] == '#') {
    return false;
  }
  std::vector<std::string> fields = split_tabs(line);
  if (fields.size() == 6) fields.emplace_back();  // a cookie with an empty value
  if (fields.size() != 7 || fields[0].empty() || fields[5].empty()) return false;
  cookie.domain = fields[0];
  cookie.include_subdomains = fields[1] == "TRUE";
  if (cookie.include_subdomains && cookie.domain[0] != '.') cookie.domain.insert(cookie.domain.begin(), '.');
  cookie.path = fields[2];
  cookie.secure = fields[3] == "TRUE";
  try {
    cookie.expires = std::stoll(fields[4]);
  } catch (...) {
    return false;
  }
  cookie.name = fields[5];
  cookie.value = fields[6];
  return true;
}

struct CookieStore::Impl {
  ShareHandle share = new_share_handle();
  std::array<std::mutex, CURL_LOCK_DATA_LAST + 1> locks;
  // A handle attached to the share through which the store itself is read and written.
  std::mutex control_mutex;
  EasyHandle control = new_easy_handle();
  std::mutex listener_mutex;
  Listener listener;

  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<Impl*>(self)->locks[static_cast<std::size_t>(data)].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<Impl*>(self)->locks[static_cast<std::size_t>(data)].unlock();
  }

  void command(const std::string& line) {
    std::lock_guard guard(control_mutex);
    if (control.get()) wire::cookie_command(control.get(), line);
  }

  std::vector<Cookie> list() {
    std::vector<Cookie> cookies;
    curl_slist* lines = nullptr;
    {
      std::lock_guard guard(control_mutex);
      if (!control.get() || curl_easy_getinfo(control.get(), CURLINFO_COOKIELIST, &lines) != CURLE_OK)
        return cookies;
    }
    const TextList owned(lines);
    for (curl_slist* l = owned.get(); l; l = l->next) {
      Cookie cookie;
      if (parse_netscape_line(l->data, cookie) && !cookie.is_expired()) cookies.push_back(std::move(cookie));
    }
    return cookies;
  }
};

CookieStore& CookieStore::instance() {
  // Never destroyed: a share cannot be cleaned up while some thread's handle uses it.
  static CookieStore* store = new CookieStore();
  return *store;
}

CookieStore::CookieStore() : impl_(new Impl) {
  if (CURLSH* share = impl_->share.get())
    wire::cookie_share_options(share, &Impl::lock, &Impl::unlock, impl_);
  attach(impl_->control.get());
}

CookieStore::~CookieStore() { delete impl_; }

void CookieStore::attach(CURL* easy) {
  if (!easy || !impl_->share.get()) return;
  wire::share_options(easy, impl_->share.get());
}

void CookieStore::set_cookie(const Cookie& cookie) {
  if (cookie.name.empty() || cookie.domain.empty()) return;
  Cookie stored = cookie;
  // An expired line replaces the cookie of that key and is dropped by the engine's next
  // expiry sweep; a fixed time long past keeps it out of every later listing.
  if (stored.is_expired()) stored.expires = 1;
  impl_->command(netscape_line(stored));
}

void CookieStore::remove_cookie(const Cookie& cookie) {
  std::string key = cookie_key(cookie);
  for (const Cookie& have : impl_->list()) {
    if (cookie_key(have) != key || have.value != cookie.value) continue;
    Cookie gone = have;
    gone.expires = 1;
    impl_->command(netscape_line(gone));
  }
}

std::vector<Cookie> CookieStore::all_cookies() { return impl_->list(); }

void CookieStore::set_listener(Listener listener) {
  std::lock_guard guard(impl_->listener_mutex);
  impl_->listener = std::move(listener);
}

bool CookieStore::has_listener() {
  std::lock_guard guard(impl_->listener_mutex);
  return static_cast<bool>(impl_->listener);
}

void CookieStore::report_changes(const std::vector<Cookie>& before) {
  report_changes(before, [](const Cookie&) { return true; });
}

void CookieStore::report_changes(const std::vector<Cookie>& before,
                                 const std::function<bool(const Cookie&)>& concerns) {
  std::lock_guard guard(impl_->listener_mutex);
  if (!impl_->listener) return;
  std::map<std::string, const Cookie*> earlier;
  for (const Cookie& c : before) {
    if (concerns(c)) earlier[cookie_key(c)] = &c;
  }
  std::vector<Cookie> now = impl_->list();
  for (const Cookie& c : now) {
    if (!concerns(c)) continue;
    auto found = earlier.find(cookie_key(c));
    if (found == earlier.end() || !same_cookie(*found->second, c)) impl_->listener(c);
    if (found != earlier.end()) earlier.erase(found);
  }
  for (auto& [key, c] : earlier) {
    Cookie gone = *c;
    gone.expires = 1;
    impl_->listener(gone);
  }
}

std::string CookieStore::default_path() const { return program_file("cookies.txt"); }

void CookieStore::load(const std::string& path) {
  std::ifstream in(path.empty() ? default_path() : path, std::ios::binary);
  if (!in) return;
  std::string line;
  while (std::getline(in, line)) {
    Cookie cookie;
    if (!parse_netscape_line(line, cookie) || cookie.is_session() || cookie.is_expired()) continue;
    impl_->command(netscape_line(cookie));
  }
}

void CookieStore::save(const std::string& path) {
  std::string target = path.empty() ? default_path() : path;
  std::string text = "# Netscape HTTP Cookie File\n# Written by Album Fetcher. Persistent cookies only.\n\n";
  for (const Cookie& cookie : impl_->list()) {
    if (cookie.is_session()) continue;
    text += netscape_line(cookie);
    text += '\n';
  }
  // Owner-only from the first byte, then renamed over the old file in one step.
  std::string temporary = target + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  ::fchmod(fd, 0600);
  bool ok = true;
  for (std::size_t done = 0; ok && done < text.size();) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0)
      ok = false;
    else
      done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (!ok || std::rename(temporary.c_str(), target.c_str()) != 0) ::unlink(temporary.c_str());
}

void CookieStore::clear() { impl_->command("ALL"); }

bool host_within(std::string_view host, std::string_view domain) {
  const auto bare = [](std::string_view name) { return lower_text(name.substr(name.starts_with('.') ? 1 : 0)); };
  const std::string h = bare(host);
  const std::string d = bare(domain);
  if (d.empty()) return false;
  return h == d || (h.size() > d.size() && h.ends_with(d) && h[h.size() - d.size() - 1] == '.');
}

bool cookie_reaches(const Cookie& cookie, std::string_view host) {
  // A host-only cookie reaches its own host alone: each lies within the other.
  return host_within(host, cookie.domain) && (cookie.include_subdomains || host_within(cookie.domain, host));
}

}  // namespace af
