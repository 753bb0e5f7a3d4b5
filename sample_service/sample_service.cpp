// SPDX-License-Identifier: GPL-3.0-or-later
#include "sample_service.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "sample_images.h"
#include "service_impl.h"

namespace afsample {

namespace {

bool equal_ignore_case(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::map<std::string, std::string> parse_query(const std::string& query) {
  std::map<std::string, std::string> out;
  std::size_t at = 0;
  while (at <= query.size()) {
    std::size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    const std::string item = query.substr(at, end - at);
    if (!item.empty()) {
      const std::size_t eq = item.find('=');
      if (eq == std::string::npos) {
        out.emplace(item, "");
      } else {
        out.emplace(item.substr(0, eq), item.substr(eq + 1));
      }
    }
    at = end + 1;
  }
  return out;
}

int SampleAlbum::stated_count() const {
  if (!count_json) return static_cast<int>(photos.size());
  const std::string& c = *count_json;
  const std::size_t at = c.find("\"photos\":");
  if (at == std::string::npos) return 0;
  std::size_t i = at + 9;
  if (i < c.size() && c[i] == '"') ++i;
  return std::atoi(c.c_str() + i);
}

std::string RecordedRequest::header(const std::string& name) const {
  for (const auto& [n, v] : headers) {
    if (equal_ignore_case(n, name)) return v;
  }
  return {};
}

bool RecordedRequest::has_header(const std::string& name) const {
  for (const auto& item : headers) {
    if (equal_ignore_case(item.first, name)) return true;
  }
  return false;
}

std::string SampleService::Impl::login_token() const {
  // FNV-1a of the credentials, then again from there: 32 hex digits, the same in every run.
  const std::string credentials = login_user + '\n' + login_password;
  std::uint64_t first = 14695981039346656037ull;
  for (const unsigned char c : credentials) first = (first ^ c) * 1099511628211ull;
  std::uint64_t second = first;
  for (const unsigned char c : credentials) second = (second ^ c) * 1099511628211ull;
  char token[33];
  std::snprintf(token, sizeof token, "%016llx%016llx", static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(second));
  return token;
}

bool SampleService::Impl::logged_in(const httplib::Request& req) {
  const std::string cookies = req.get_header_value("Cookie");
  std::size_t at = 0;
  while (at < cookies.size()) {
    std::size_t end = cookies.find(';', at);
    if (end == std::string::npos) end = cookies.size();
    std::string item = cookies.substr(at, end - at);
    while (!item.empty() && item.front() == ' ') item.erase(0, 1);
    const std::string prefix = std::string(kSessionCookie) + "=";
    if (item.rfind(prefix, 0) == 0) {
      const std::string token = item.substr(prefix.size());
      if (sessions.count(token) || (login_remembered && token == login_token())) return true;
    }
    at = end + 1;
  }
  return false;
}

const SampleUser* SampleService::Impl::user_by_uid(const std::string& uid) const {
  for (const auto& u : users) {
    if (u.uid == uid) return &u;
  }
  return nullptr;
}

void SampleService::Impl::handle(const httplib::Request& req, httplib::Response& res) {
  const int now = ++in_flight;
  for (int peak = peak_in_flight; now > peak && !peak_in_flight.compare_exchange_weak(peak, now);) {
  }
  struct Leaving {
    std::atomic<int>& count;
    ~Leaving() { --count; }
  } leaving{in_flight};
  // The link's round trip comes before the service sees the request.
  if (const long long latency = link_latency_ms; latency > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(latency));
  handle_request(req, res);
  // A streamed answer (a fault's) keeps its own pace.
  if (const long long rate = link_bytes_per_second; rate > 0 && !res.body.empty()) pace_body(res, rate);
}

// What the client sent, as tests read it back.
static RecordedRequest recorded(const httplib::Request& req) {
  RecordedRequest record;
  record.method = req.method;
  record.version = req.version;
  record.target = req.target;
  const std::size_t question = req.target.find('?');
  record.path = req.target.substr(0, question);
  record.query = question == std::string::npos ? std::string() : req.target.substr(question + 1);
  for (const auto& [n, v] : req.headers) {
    // Headers httplib adds itself are not what the client sent.
    if (n == "REMOTE_ADDR" || n == "REMOTE_PORT" || n == "LOCAL_ADDR" || n == "LOCAL_PORT") continue;
    record.headers.emplace_back(n, v);
  }
  record.body = req.body;
  record.at = std::chrono::steady_clock::now();
  return record;
}

void SampleService::Impl::handle_request(const httplib::Request& req, httplib::Response& res) {
  std::unique_lock lock(mutex);
  requests.push_back(recorded(req));
  const std::string path = requests.back().path;
  const std::string query = requests.back().query;

  std::optional<Fault> fault = take_fault(path, query);
  if (fault && fault_answer(*fault, res, lock)) return;

  const bool session = logged_in(req);
  const auto q = parse_query(query);
  bool found = true;
  if (profile == ServiceProfile::BadDay && path == "/photos/get_all") {
    // Banned: every photo list, whatever the session.
    res.status = 418;
    res.set_header("Retry-After", "7200");
    res.set_content("<html><body>\xE8\xAE\xBF\xE9\x97\xAE\xE9\xA2\x91\xE7\xB9\x81</body></html>",  // 访问频繁
                    "text/html; charset=utf-8");
  } else if (today() && (today_page(req, path, q, res) || today_list(req, path, q, res))) {
    // answered in today's way
  } else if (path == "/albums/get_all") {
    album_list(q, session, res);
  } else if (path == "/photos/get_all") {
    photo_list(q, session, res);
  } else if (path.rfind("/large/", 0) == 0) {
    found = image(req, path.substr(7), res, lock);
  } else {
    found = page(req, path, res);
  }
  if (!found) {
    res.status = 404;
    res.set_content("<html><body>404 Not Found</body></html>", "text/html");
  }
  if (fault) fault_after(*fault, res);
}

SampleService::SampleService(int port) : impl_(std::make_unique<Impl>()) {
  Impl* impl = impl_.get();
  auto handler = [impl](const httplib::Request& req, httplib::Response& res) { impl->handle(req, res); };
  impl->server.Get(".*", handler);
  impl->server.Post(".*", handler);
  impl->server.Options(".*", handler);
  impl->server.set_keep_alive_max_count(100);
  // An answer goes out as its headers and then its body: without this, a small body waits
  // for the client's delayed acknowledgement of the headers (some 40 ms on loopback).
  impl->server.set_tcp_nodelay(true);
  // Enough workers for several connections of one client kept alive at once, and more: a
  // stalled answer holds its worker for the whole stall, even after the client gave up.
  // The listening loop makes its queue as it starts, running from then on (a stop() before
  // that would be lost).
  impl->server.new_task_queue = [impl] {
    impl->set_listening();
    return new httplib::ThreadPool(64);
  };
  if (port == 0) {
    impl->port = impl->server.bind_to_any_port("127.0.0.1");
  } else {
    impl->port = impl->server.bind_to_port("127.0.0.1", port) ? port : -1;
  }
  if (impl->port <= 0) throw std::runtime_error("sample service: cannot listen on 127.0.0.1");
  impl->thread = std::thread([impl] {
    impl->server.listen_after_bind();
    impl->set_listening();  // also when the loop could not start
  });
  // The socket listens from the bind on; connections wait in its backlog until the loop runs.
  std::unique_lock lock(impl->mutex);
  impl->stop_changed.wait(lock, [impl] { return impl->listening; });
}

SampleService::~SampleService() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->stop_changed.notify_all();
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

void SampleService::set_link(std::chrono::milliseconds latency, long long bytes_per_second) {
  impl_->link_latency_ms = std::max<long long>(latency.count(), 0);
  impl_->link_bytes_per_second = std::max<long long>(bytes_per_second, 0);
}

int SampleService::port() const { return impl_->port; }
std::string SampleService::base_url() const { return impl_->base(); }
std::string SampleService::host() const { return "127.0.0.1:" + std::to_string(impl_->port); }

void SampleService::add_user(SampleUser user) {
  std::lock_guard lock(impl_->mutex);
  impl_->users.push_back(std::move(user));
  impl_->users_changed();
}

void SampleService::set_users(std::vector<SampleUser> users) {
  std::lock_guard lock(impl_->mutex);
  impl_->users = std::move(users);
  impl_->users_changed();
  impl_->image_faults_served.clear();
}

std::optional<ServiceProfile> profile_named(const std::string& name) {
  if (name == "classic") return ServiceProfile::Classic;
  if (name == "today") return ServiceProfile::Today;
  if (name == "bad-day") return ServiceProfile::BadDay;
  return std::nullopt;
}

void SampleService::set_profile(ServiceProfile profile) {
  std::lock_guard lock(impl_->mutex);
  impl_->profile = profile;
}

void SampleService::set_list_burst(int requests) {
  std::lock_guard lock(impl_->mutex);
  impl_->list_burst = requests;
}

ServiceProfile SampleService::profile() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->profile;
}

void SampleService::add_fault(Fault fault) {
  std::lock_guard lock(impl_->mutex);
  if (fault.times != 0) impl_->faults.push_back(std::move(fault));
}

void SampleService::clear_faults() {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.clear();
}

void SampleService::reset() {
  std::lock_guard lock(impl_->mutex);
  impl_->users.clear();
  impl_->users_changed();
  impl_->faults.clear();
  impl_->image_faults_served.clear();
  impl_->sessions.clear();
  impl_->login_remembered = false;
  impl_->requests.clear();
  impl_->profile = ServiceProfile::Classic;
  impl_->list_burst = 25;
  impl_->burst_count = 0;
  impl_->image_rules.reset();
  impl_->images_since_limit = impl_->images_refused = 0;
  impl_->link_latency_ms = 0;
  impl_->link_bytes_per_second = 0;
  ++impl_->resets;
  impl_->stop_changed.notify_all();
  impl_->peak_in_flight = 0;
}

void SampleService::set_image_rules(ImageRules rules) {
  std::lock_guard lock(impl_->mutex);
  impl_->image_rules = rules;
  impl_->images_since_limit = impl_->images_refused = 0;
}

ImageRules SampleService::image_rules() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->effective_image_rules();
}

void SampleService::set_credentials(std::string user, std::string password) {
  std::lock_guard lock(impl_->mutex);
  impl_->login_user = std::move(user);
  impl_->login_password = std::move(password);
}

std::string SampleService::new_session() {
  std::lock_guard lock(impl_->mutex);
  char token[33];
  std::snprintf(token, sizeof token, "%016llx%016llx", static_cast<unsigned long long>(impl_->random()),
                static_cast<unsigned long long>(impl_->random()));
  impl_->sessions.insert(token);
  return token;
}

std::vector<RecordedRequest> SampleService::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

std::vector<RecordedRequest> SampleService::requests_to(const std::string& path) const {
  std::lock_guard lock(impl_->mutex);
  std::vector<RecordedRequest> out;
  for (const auto& r : impl_->requests) {
    if (r.path == path) out.push_back(r);
  }
  return out;
}

void SampleService::clear_requests() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
  impl_->peak_in_flight = 0;
}

int SampleService::peak_in_flight() const { return impl_->peak_in_flight; }
int SampleService::in_flight() const { return impl_->in_flight; }

std::string SampleService::image_bytes(const std::string& pic_name) const {
  std::lock_guard lock(impl_->mutex);
  return impl_->image_for(pic_name);
}

SampleUser make_user(std::string uid, std::string path, std::string title, IdMarker marker) {
  SampleUser user;
  user.uid = std::move(uid);
  user.path = std::move(path);
  user.title = std::move(title);
  user.marker = marker;
  return user;
}

std::vector<SamplePhoto> make_photos(const std::string& album_id, int count, int gif_every, int first) {
  std::vector<SamplePhoto> photos;
  // Photo ids: 16 digits, unique per album and index.
  std::uint64_t seed = 0;
  for (char c : album_id) seed = seed * 31 + static_cast<unsigned char>(c);
  const std::uint64_t prefix = 3800000000000000ull + (seed % 99000ull) * 1000000ull;
  for (int i = first; i < first + count; ++i) {
    SamplePhoto p;
    p.photo_id = std::to_string(prefix + static_cast<std::uint64_t>(i));
    p.timestamp = 1365000000 + static_cast<std::int64_t>(i) * 3600;
    const bool gif = gif_every > 0 && i % gif_every == 0;
    p.pic_name = "a" + p.photo_id + (gif ? ".gif" : ".jpg");
    p.feed_id =
        std::to_string(3560000000000000ull + (seed % 99000ull) * 1000000ull + static_cast<std::uint64_t>(i));
    p.caption_render = "photo " + std::to_string(i);
    photos.push_back(std::move(p));
  }
  return photos;
}

SampleAlbum make_album(std::string album_id, std::string caption, int photos, int gif_every) {
  SampleAlbum album;
  album.photos = make_photos(album_id, photos, gif_every);
  album.album_id = std::move(album_id);
  album.caption = std::move(caption);
  return album;
}

std::vector<SampleUser> demo_users() {
  SampleUser user = make_user("1234567890", "/u/1234567890",
                              "\xE7\xA4\xBA\xE4\xBE\x8B\xE7\x94\xA8\xE6\x88\xB7\xE7\x9A\x84\xE5\xBE\xAE\xE5"
                              "\x8D\x9A");  // 示例用户的微博
  user.albums.push_back(make_album("3558936301234567", "\xE6\x97\x85\xE8\xA1\x8C", 12));  // 旅行
  SampleAlbum posts =
      make_album("3558936301234568", "\xE5\xBE\xAE\xE5\x8D\x9A\xE9\x85\x8D\xE5\x9B\xBE", 45, 5);  // 微博配图
  posts.page_size = 30;
  posts.type_json = "3";
  user.albums.push_back(std::move(posts));
  SampleAlbum raw = make_album("3558936301234569", "\xE5\xAE\xB6\xE4\xBA\xBA", 3);  // 家人
  raw.caption_form = CaptionForm::RawUtf8;
  user.albums.push_back(std::move(raw));
  SampleAlbum empty = make_album("3558936301234570", "\xE7\xA9\xBA", 0);  // 空
  user.albums.push_back(std::move(empty));
  SampleAlbum locked = make_album("3558936301234571", "\xE7\xA7\x81\xE5\xAF\x86", 4);  // 私密
  locked.requires_login = true;
  user.albums.push_back(std::move(locked));
  SampleUser alias = user;
  alias.path = "/demo";
  return {user, alias};
}

}  // namespace afsample
