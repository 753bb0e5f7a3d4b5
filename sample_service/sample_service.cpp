#include "sample_service.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include "sample_images.h"

namespace afsample {

namespace {

bool equal_ignore_case(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Raw query parameters, not percent-decoded: the ids are digits and tests want the bytes.
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

std::string form_value(const std::string& body, const std::string& name) {
  auto fields = parse_query(body);
  auto it = fields.find(name);
  if (it == fields.end()) return {};
  // Form fields are percent-encoded with '+' for a blank.
  std::string out;
  const std::string& v = it->second;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '+') {
      out.push_back(' ');
    } else if (v[i] == '%' && i + 2 < v.size() && std::isxdigit(static_cast<unsigned char>(v[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(v[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(v.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(v[i]);
    }
  }
  return out;
}

std::string html_escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

// Decodes one UTF-8 sequence at text[i]; invalid bytes come back as themselves (Latin-1).
char32_t next_code_point(const std::string& text, std::size_t& i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = b(i);
  int extra = 0;
  char32_t cp = c;
  if (c >= 0xF0 && c < 0xF8) {
    extra = 3;
    cp = c & 0x07;
  } else if (c >= 0xE0) {
    extra = 2;
    cp = c & 0x0F;
  } else if (c >= 0xC0) {
    extra = 1;
    cp = c & 0x1F;
  }
  if (extra == 0 || i + extra >= text.size()) {
    ++i;
    return c;
  }
  for (int k = 1; k <= extra; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) {
      ++i;
      return c;
    }
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  i += extra + 1;
  return cp;
}

void append_u_escape(std::string& out, unsigned value) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "\\u%04x", value & 0xFFFF);
  out += buffer;
}

// Announces the answer's whole length, sends half, then fails the provider: httplib closes
// the connection and the client sees a body cut short.
void send_half_then_close(httplib::Response& res) {
  auto body = std::make_shared<std::string>(res.body);
  const std::string type = res.get_header_value("Content-Type");
  res.body.clear();
  res.set_content_provider(body->size(), type,
                           [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                             const std::size_t half = body->size() / 2;
                             if (offset < half) {
                               sink.write(body->data() + offset, half - offset);
                               return true;
                             }
                             return false;
                           });
}

// Whether a Referer names a page of the service: http(s)://weibo.com/... or a subdomain.
bool is_service_page(const std::string& referer) {
  std::string rest;
  for (const char* scheme : {"https://", "http://"})
    if (referer.rfind(scheme, 0) == 0) rest = referer.substr(std::char_traits<char>::length(scheme));
  const std::string host = rest.substr(0, rest.find_first_of("/:?#"));
  const std::string domain = "weibo.com";
  return host == domain ||
         (host.size() > domain.size() &&
          host.compare(host.size() - domain.size() - 1, domain.size() + 1, "." + domain) == 0);
}

}  // namespace

std::string json_string(const std::string& text, bool raw_utf8) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '/':
          out += "\\/";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          if (c < 0x20) {
            append_u_escape(out, c);
          } else {
            out.push_back(static_cast<char>(c));
          }
      }
      ++i;
      continue;
    }
    const std::size_t start = i;
    const char32_t cp = next_code_point(text, i);
    if (raw_utf8) {
      out.append(text, start, i - start);
    } else if (cp > 0xFFFF) {
      const char32_t v = cp - 0x10000;
      append_u_escape(out, 0xD800 + (v >> 10));
      append_u_escape(out, 0xDC00 + (v & 0x3FF));
    } else {
      append_u_escape(out, cp);
    }
  }
  out += "\"";
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

struct SampleService::Impl {
  httplib::Server server;
  std::thread thread;
  int port = 0;

  mutable std::mutex mutex;
  std::vector<SampleUser> users;
  ServiceProfile profile = ServiceProfile::Classic;
  std::vector<Fault> faults;
  std::map<std::string, int> image_faults_served;
  std::set<std::string> sessions;
  std::string login_user = "demo";
  std::string login_password = "demo";
  std::vector<RecordedRequest> requests;
  std::mt19937_64 random{std::random_device{}()};
  int list_burst = 25;
  int burst_count = 0;
  std::chrono::steady_clock::time_point last_list_request{};

  // Image answers: the rules set by a test (else the profile's), the rate limit's count,
  // and the stop that ends stalled and trickling answers.
  std::optional<ImageRules> image_rules;
  int images_since_limit = 0;
  int images_refused = 0;
  std::atomic<bool> stopping{false};
  std::condition_variable stop_changed;

  // The link the answers travel (set_link): a round trip added to every answer, and one
  // bandwidth that all answers share.
  std::atomic<long long> link_latency_ms{0};
  std::atomic<long long> link_bytes_per_second{0};
  std::mutex link_mutex;
  std::chrono::steady_clock::time_point link_free{};  // the link is busy until then
  // When `bytes` sent now would have passed the shared link.
  std::chrono::steady_clock::time_point reserve_link(std::size_t bytes, long long rate);
  // Sends the built answer's body through the shared link.
  void pace_body(httplib::Response& res, long long rate);

  std::string base() const { return "http://127.0.0.1:" + std::to_string(port); }

  void handle(const httplib::Request& req, httplib::Response& res);
  void handle_request(const httplib::Request& req, httplib::Response& res);
  std::optional<Fault> take_fault(const std::string& path, const std::string& query);
  bool logged_in(const httplib::Request& req);
  const SampleUser* user_by_uid(const std::string& uid) const;

  void home_page(const SampleUser& user, httplib::Response& res) const;
  void index_page(httplib::Response& res) const;
  void overview_page(const SampleUser* user, httplib::Response& res) const;
  void album_list(const std::map<std::string, std::string>& q, bool session, httplib::Response& res,
                  int page_size = 0) const;
  void photo_list(const std::map<std::string, std::string>& q, bool session, httplib::Response& res,
                  int cap = 0) const;
  // The answers of the Today profile; false when the request is answered as always.
  bool today_answer(const httplib::Request& req, const std::string& path,
                    const std::map<std::string, std::string>& q, httplib::Response& res);
  bool has_session_cookie(const httplib::Request& req) const;
  void login_page(httplib::Response& res) const;
  bool image(const httplib::Request& req, const std::string& name, httplib::Response& res,
             std::unique_lock<std::mutex>& lock);
  ImageRules effective_image_rules() const;
  bool image_fault_answer(const SamplePhoto& photo, std::string bytes, httplib::Response& res,
                          std::unique_lock<std::mutex>& lock);
  std::string image_for(const std::string& name) const;
  std::string cover_address(const SampleAlbum& album) const;
};

std::optional<Fault> SampleService::Impl::take_fault(const std::string& path, const std::string& query) {
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (it->path != path) continue;
    if (!it->query_contains.empty() && query.find(it->query_contains) == std::string::npos) continue;
    Fault fault = *it;
    if (it->times > 0 && --it->times == 0) faults.erase(it);
    return fault;
  }
  return std::nullopt;
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
    if (item.rfind(prefix, 0) == 0 && sessions.count(item.substr(prefix.size()))) return true;
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

void SampleService::Impl::home_page(const SampleUser& user, httplib::Response& res) const {
  std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n";
  if (!user.title.empty()) html += "<title>" + user.title + "</title>\n";
  html += "<script type=\"text/javascript\">\nvar $CONFIG = {};\n";
  switch (user.marker) {
    case IdMarker::Oid:
      html += "$CONFIG['oid']='" + user.uid + "';\n$CONFIG['page_id']='100505" + user.uid + "';\n";
      break;
    case IdMarker::EmptyOidThenOwnerUid:
      html += "$CONFIG['oid']='';\n";
      html += "var page = { owner_uid: " + user.uid + ", is_owner: 0 };\n";
      break;
    case IdMarker::OwnerUid:
      html += "var page = { owner_uid: " + user.uid + ", is_owner: 0 };\n";
      break;
    case IdMarker::OwnerUidWithoutBlank:
      html += "var page = { owner_uid:" + user.uid + ", is_owner: 0 };\n";
      break;
    case IdMarker::None:
      break;
  }
  html += "$CONFIG['lang']='zh-cn';\n</script>\n</head>\n<body>\n<h1>" + html_escape(user.title) +
          "</h1>\n<ul>\n";
  for (const auto& album : user.albums) {
    html += "<li>" + html_escape(album.caption) + " (" + std::to_string(album.photos.size()) + ")</li>\n";
  }
  html += "</ul>\n</body></html>\n";
  res.set_content(html, "text/html; charset=utf-8");
}

void SampleService::Impl::index_page(httplib::Response& res) const {
  std::string html =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Sample photo service</title></head>\n"
      "<body>\n<p><a id=\"login\" href=\"/login\">Log in</a></p>\n<ul>\n";
  for (const auto& u : users) {
    html += "<li><a href=\"" + html_escape(u.path) + "\">" + html_escape(u.title.empty() ? u.uid : u.title) +
            "</a></li>\n";
  }
  html += "</ul>\n</body></html>\n";
  res.set_content(html, "text/html; charset=utf-8");
}

void SampleService::Impl::overview_page(const SampleUser* user, httplib::Response& res) const {
  std::string html =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Albums</title></head>\n<body>\n<ul>\n";
  if (user) {
    for (const auto& album : user->albums) {
      html += "<li id=\"album_" + album.album_id + "\">" + html_escape(album.caption) + "</li>\n";
    }
  }
  html += "</ul>\n</body></html>\n";
  res.set_content(html, "text/html; charset=utf-8");
}

std::string SampleService::Impl::cover_address(const SampleAlbum& album) const {
  if (album.cover_pic) return *album.cover_pic;
  return base() + "/large/cover_" + album.album_id + ".jpg";
}

void SampleService::Impl::album_list(const std::map<std::string, std::string>& q, bool session,
                                     httplib::Response& res, int page_size) const {
  const auto uid = q.count("uid") ? q.at("uid") : std::string();
  const SampleUser* user = user_by_uid(uid);
  if (!user || uid.empty()) {
    res.set_content("{\"result\":false,\"code\":\"A0002\",\"msg\":\"user not found\",\"data\":[]}",
                    "application/json; charset=utf-8");
    return;
  }
  std::string list;
  int total = 0;
  const long page = q.count("page") ? std::max(1L, std::atol(q.at("page").c_str())) : 1L;
  for (const auto& album : user->albums) {
    if (album.requires_login && !session) continue;
    ++total;
    // Paged: only the albums of the asked page are listed; total counts them all.
    if (page_size > 0 && (total <= (page - 1) * page_size || total > page * page_size)) continue;
    if (!list.empty()) list += ",";
    list += "{\"album_id\":" + json_string(album.album_id) + ",\"uid\":" + json_string(user->uid);
    list += ",\"caption\":" + json_string(album.caption, album.caption_form == CaptionForm::RawUtf8);
    list += ",\"description\":\"\"";
    list += ",\"cover_pic\":" + json_string(cover_address(album));
    if (!album.type_json) {
      list += ",\"type\":\"18\"";
    } else if (!album.type_json->empty()) {
      list += ",\"type\":" + *album.type_json;
    }
    if (!album.count_json) {
      list +=
          ",\"count\":{\"photos\":" + std::to_string(album.photos.size()) + ",\"likes\":0,\"comments\":0}";
    } else if (!album.count_json->empty()) {
      list += ",\"count\":" + *album.count_json;
    }
    list += ",\"property\":\"" + std::string(album.requires_login ? "2" : "1") + "\"";
    list += ",\"updated_at\":\"1365000000\"}";
  }
  res.set_content("{\"result\":true,\"data\":{\"album_list\":[" + list +
                      "],\"total\":" + std::to_string(total) + "},\"code\":0}",
                  "application/json; charset=utf-8");
}

void SampleService::Impl::photo_list(const std::map<std::string, std::string>& q, bool session,
                                     httplib::Response& res, int cap) const {
  auto get = [&](const char* key) { return q.count(key) ? q.at(key) : std::string(); };
  const SampleUser* user = user_by_uid(get("uid"));
  const SampleAlbum* album = nullptr;
  if (user) {
    for (const auto& a : user->albums) {
      if (a.album_id == get("album_id")) album = &a;
    }
  }
  if (!album || (album->requires_login && !session)) {
    res.set_content("{\"result\":false,\"code\":\"A0003\",\"msg\":\"album not found\",\"data\":[]}",
                    "application/json; charset=utf-8");
    return;
  }
  const long page = std::max(1L, std::atol(get("page").c_str()));
  const int asked = cap > 0 ? std::min(cap, album->page_size) : album->page_size;
  const std::size_t size = static_cast<std::size_t>(std::max(1, asked));
  std::size_t first = static_cast<std::size_t>(page - 1) * size;
  if (first >= album->photos.size() && album->past_end == PastEnd::RepeatLast && !album->photos.empty()) {
    first = (album->photos.size() - 1) / size * size;
  }
  std::string list;
  for (std::size_t i = first; i < album->photos.size() && i < first + size; ++i) {
    const SamplePhoto& p = album->photos[i];
    if (!list.empty()) list += ",";
    list += "{\"photo_id\":" + json_string(p.photo_id) + ",\"album_id\":" + json_string(album->album_id) +
            ",\"uid\":" + json_string(user->uid) +
            (!p.timestamp_json           ? ",\"timestamp\":" + std::to_string(p.timestamp)
             : p.timestamp_json->empty() ? std::string()
                                         : ",\"timestamp\":" + *p.timestamp_json) +
            ",\"pic_host\":" + json_string(p.pic_host.empty() ? base() : p.pic_host) +
            ",\"pic_name\":" + json_string(p.pic_name) +
            ",\"pic_pid\":" + json_string(p.pic_name.substr(0, p.pic_name.find('.'))) +
            ",\"feed_id\":" + json_string(p.feed_id) +
            ",\"caption_render\":" + json_string(p.caption_render) +
            ",\"caption\":" + json_string(p.caption_render) +
            ",\"is_favorited\":false,\"count\":{\"likes\":0,\"comments\":0}}";
  }
  res.set_content("{\"result\":true,\"data\":{\"album_id\":" + json_string(album->album_id) +
                      ",\"photo_list\":[" + list + "],\"total\":" + std::to_string(album->photos.size()) +
                      "},\"code\":0}",
                  "application/json; charset=utf-8");
}

std::string SampleService::Impl::image_for(const std::string& name) const {
  for (const auto& u : users) {
    for (const auto& a : u.albums) {
      if (name == "cover_" + a.album_id + ".jpg") return make_jpeg("cover " + a.album_id);
      for (const auto& p : a.photos) {
        if (p.pic_name != name) continue;
        const bool gif = name.size() >= 4 && name.compare(name.size() - 4, 4, ".gif") == 0;
        return gif ? make_gif(p.photo_id, p.image_size) : make_jpeg(p.photo_id, p.image_size);
      }
    }
  }
  return {};
}

// ---- Image answers: each photo's faults and the image hosts' rules ----

ImageRules SampleService::Impl::effective_image_rules() const {
  if (image_rules) return *image_rules;
  ImageRules rules;
  if (profile == ServiceProfile::Today) {
    rules.want_service_referer = true;
    rules.burst = 40;
    rules.refusals = 2;
  }
  return rules;
}

bool SampleService::Impl::image(const httplib::Request& req, const std::string& name, httplib::Response& res,
                                std::unique_lock<std::mutex>& lock) {
  const ImageRules rules = effective_image_rules();
  if (rules.want_service_referer && !is_service_page(req.get_header_value("Referer"))) {
    res.status = 403;
    res.set_content("<html><body>403 Forbidden</body></html>", "text/html");
    return true;
  }
  if (rules.burst > 0) {
    if (images_since_limit >= rules.burst) {
      if (++images_refused >= rules.refusals) images_refused = images_since_limit = 0;
      res.status = rules.limit_status;
      if (rules.retry_after_seconds >= 0)
        res.set_header("Retry-After", std::to_string(rules.retry_after_seconds));
      res.set_content("<html><body>Too Many Requests</body></html>", "text/html");
      return true;
    }
    ++images_since_limit;
  }
  for (const auto& u : users) {
    for (const auto& a : u.albums) {
      for (const auto& p : a.photos) {
        if (p.pic_name != name || p.image_fault_times == 0) continue;
        if (p.image_fault == ImageFault::Status && p.image_fault_status == 0) continue;
        int& served = image_faults_served[name];
        if (p.image_fault_times < 0 || served < p.image_fault_times) {
          ++served;
          const SamplePhoto photo = p;  // the answer may release the lock
          return image_fault_answer(photo, image_for(name), res, lock);
        }
      }
    }
  }
  std::string bytes = image_for(name);
  if (bytes.empty()) return false;
  const bool gif = bytes.compare(0, 3, "GIF") == 0;
  res.set_content(std::move(bytes), gif ? "image/gif" : "image/jpeg");
  return true;
}

bool SampleService::Impl::image_fault_answer(const SamplePhoto& photo, std::string bytes,
                                             httplib::Response& res, std::unique_lock<std::mutex>& lock) {
  const std::string type = bytes.compare(0, 3, "GIF") == 0 ? "image/gif" : "image/jpeg";
  switch (photo.image_fault) {
    case ImageFault::Status:
      res.status = photo.image_fault_status;
      res.set_content("<html><body>error " + std::to_string(photo.image_fault_status) + "</body></html>",
                      "text/html");
      return true;
    case ImageFault::Empty:
      res.set_content("", type);
      return true;
    case ImageFault::Text:
      res.set_content("upstream error\n", "text/plain");
      return true;
    case ImageFault::Json:
      res.set_content("{\"ok\":0,\"code\":\"100005\",\"msg\":\"please log in first\"}", "application/json");
      return true;
    case ImageFault::LoginPage:
      login_page(res);
      return true;
    case ImageFault::LoginRedirect:
      res.status = 302;
      res.set_header("Location", base() + "/login");
      res.set_content("", "text/html");
      return true;
    case ImageFault::CutOff:
      res.set_content(std::move(bytes), type);
      send_half_then_close(res);
      return true;
    case ImageFault::CutShort:
      bytes.resize(bytes.size() * 2 / 3);
      res.set_content(std::move(bytes), type);
      return true;
    case ImageFault::Stall:
      stop_changed.wait_for(lock, photo.image_fault_delay, [&] { return stopping.load(); });
      res.set_content(std::move(bytes), type);
      return true;
    case ImageFault::Trickle: {
      auto body = std::make_shared<std::string>(std::move(bytes));
      const auto interval = photo.image_fault_delay;
      res.set_content_provider(
          body->size(), type,
          [this, body, interval](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            std::this_thread::sleep_for(interval);
            return !stopping && sink.write(body->data() + offset, 1);
          });
      return true;
    }
  }
  return false;
}

// ---- end of image answers ----

std::chrono::steady_clock::time_point SampleService::Impl::reserve_link(std::size_t bytes, long long rate) {
  std::lock_guard lock(link_mutex);
  const auto start = std::max(std::chrono::steady_clock::now(), link_free);
  link_free = start + std::chrono::nanoseconds(static_cast<long long>(bytes) * 1000000000LL / rate);
  return link_free;
}

void SampleService::Impl::pace_body(httplib::Response& res, long long rate) {
  auto body = std::make_shared<std::string>(std::move(res.body));
  const std::string type = res.get_header_value("Content-Type");
  res.body.clear();
  res.set_content_provider(
      body->size(), type, [this, body, rate](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        const std::size_t piece = std::min<std::size_t>(16 * 1024, body->size() - offset);
        std::this_thread::sleep_until(reserve_link(piece, rate));
        return sink.write(body->data() + offset, piece);
      });
}

void SampleService::Impl::handle(const httplib::Request& req, httplib::Response& res) {
  // The link's round trip comes before the service sees the request.
  if (const long long latency = link_latency_ms; latency > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(latency));
  handle_request(req, res);
  // A streamed answer (a fault's) keeps its own pace.
  if (const long long rate = link_bytes_per_second; rate > 0 && !res.body.empty()) pace_body(res, rate);
}

void SampleService::Impl::handle_request(const httplib::Request& req, httplib::Response& res) {
  std::unique_lock lock(mutex);
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
  requests.push_back(record);
  const std::string path = record.path;
  const std::string query = record.query;

  std::optional<Fault> fault = take_fault(path, query);
  if (fault) {
    switch (fault->kind) {
      case FaultKind::Empty:
        res.set_content("", "text/html");
        return;
      case FaultKind::NotJson:
        res.set_content("result:true data:{album_list:[", "text/plain");
        return;
      case FaultKind::Html:
        res.set_content(
            "<!DOCTYPE html><html><head><title>Busy</title></head><body>Try again later</body></html>",
            "text/html; charset=utf-8");
        return;
      case FaultKind::Redirect:
        res.status = 302;
        res.set_header("Location", fault->location.empty() ? base() + "/login" : fault->location);
        res.set_content("", "text/html");
        return;
      case FaultKind::NotFound:
        res.status = 404;
        res.set_content("<html><body>404 Not Found</body></html>", "text/html");
        return;
      case FaultKind::ServerError:
        res.status = 500;
        res.set_content("<html><body>500 Internal Server Error</body></html>", "text/html");
        return;
      case FaultKind::Slow:
        // Cut short when the service stops, so that a test ends without waiting for it.
        stop_changed.wait_for(lock, fault->delay, [&] { return stopping.load(); });
        break;
      case FaultKind::Status:
        res.status = fault->status;
        res.set_header("Retry-After", "1");
        res.set_content(
            "<html><body>\xE8\xAF\xB7\xE6\xB1\x82\xE8\xBF\x87\xE4\xBA\x8E\xE9\xA2\x91"
            "\xE7\xB9\x81</body></html>",  // 请求过于频繁
            "text/html; charset=utf-8");
        return;
      case FaultKind::LoginPage:
        login_page(res);
        return;
      case FaultKind::Drop:
      case FaultKind::Stall:
      case FaultKind::Trickle:
        break;  // answered below, then cut or slowed
    }
  }

  const bool session = logged_in(req);
  const auto q = parse_query(query);
  bool found = true;
  if (profile == ServiceProfile::Today && today_answer(req, path, q, res)) {
    // answered in today's way
  } else if (path == "/albums/get_all") {
    album_list(q, session, res);
  } else if (path == "/photos/get_all") {
    photo_list(q, session, res);
  } else if (path.rfind("/large/", 0) == 0) {
    found = image(req, path.substr(7), res, lock);
  } else if (path == "/login" && req.method == "POST") {
    if (form_value(req.body, "username") == login_user &&
        form_value(req.body, "password") == login_password) {
      char token[33];
      std::snprintf(token, sizeof token, "%016llx%016llx", static_cast<unsigned long long>(random()),
                    static_cast<unsigned long long>(random()));
      sessions.insert(token);
      res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + token + "; Path=/; HttpOnly");
      res.set_content(
          "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Logged in</title></head>"
          "<body><p id=\"welcome\">Logged in as " +
              html_escape(login_user) + "</p><a href=\"/\">Home</a></body></html>",
          "text/html; charset=utf-8");
    } else {
      res.status = 200;
      res.set_content(
          "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Log in</title></head>"
          "<body><p id=\"error\">Wrong user name or password</p><a href=\"/login\">Again</a></body></html>",
          "text/html; charset=utf-8");
    }
  } else if (path == "/login") {
    login_page(res);
  } else if (path == "/logout") {
    sessions.clear();
    res.set_header("Set-Cookie", std::string(kSessionCookie) + "=; Path=/; Max-Age=0; HttpOnly");
    res.set_content("<html><body>Logged out</body></html>", "text/html");
  } else {
    const SampleUser* user = nullptr;
    for (const auto& u : users) {
      if (u.path == path) user = &u;
    }
    // "/<uid>/albums/": the user's album overview, as the browser box opens it.
    const std::string suffix = "/albums/";
    if (user) {
      home_page(*user, res);
    } else if (path.size() >= suffix.size() + 1 &&
               path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
      overview_page(user_by_uid(path.substr(1, path.size() - suffix.size() - 1)), res);
    } else if (path == "/") {
      index_page(res);
    } else {
      found = false;
    }
  }
  if (!found) {
    res.status = 404;
    res.set_content("<html><body>404 Not Found</body></html>", "text/html");
  }

  if (fault && (fault->kind == FaultKind::Stall || fault->kind == FaultKind::Trickle)) {
    auto body = std::make_shared<std::string>(res.body);
    const std::string type = res.get_header_value("Content-Type");
    const bool stall = fault->kind == FaultKind::Stall;
    const auto delay = fault->delay;
    res.body.clear();
    res.set_content_provider(body->size(), type,
                             [body, stall, delay](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               if (stall) {
                                 // A few bytes, then silence; the client gives up first.
                                 if (offset == 0 && !body->empty()) return sink.write(body->data(), 1);
                                 std::this_thread::sleep_for(delay);
                                 return false;
                               }
                               std::this_thread::sleep_for(delay);
                               return sink.write(body->data() + offset, 1);
                             });
  }
  if (fault && fault->kind == FaultKind::Drop) send_half_then_close(res);
}

void SampleService::Impl::login_page(httplib::Response& res) const {
  res.set_content(
      "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Log in</title></head><body>\n"
      "<form id=\"login_form\" method=\"post\" action=\"/login\">\n"
      "<input type=\"text\" id=\"username\" name=\"username\">\n"
      "<input type=\"password\" id=\"password\" name=\"password\">\n"
      "<input type=\"submit\" id=\"submit\" value=\"Log in\">\n"
      "</form>\n</body></html>\n",
      "text/html; charset=utf-8");
}

// ---- Today profile: users, lists and pages (images are answered elsewhere) ----

bool SampleService::Impl::has_session_cookie(const httplib::Request& req) const {
  const std::string cookies = req.get_header_value("Cookie");
  const std::string name = std::string(kSessionCookie) + "=";
  return cookies.rfind(name, 0) == 0 || cookies.find("; " + name) != std::string::npos;
}

bool SampleService::Impl::today_answer(const httplib::Request& req, const std::string& path,
                                       const std::map<std::string, std::string>& q, httplib::Response& res) {
  const bool session = logged_in(req);
  auto to_visitor = [&] {
    res.status = 302;
    res.set_header("Location", base() + "/visitor/visitor?entry=miniblog&a=enter&url=" + path);
    res.set_content("", "text/html");
    return true;
  };
  if (path == "/visitor/visitor") {
    res.set_content(
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Sina Visitor System</title></head>"
        "<body><script>var url = \"https://passport.weibo.com/visitor/genvisitor\";</script></body></html>",
        "text/html; charset=utf-8");
    return true;
  }
  const SampleUser* home = nullptr;
  for (const auto& u : users)
    if (u.path == path) home = &u;
  if (home) {
    if (!session) return to_visitor();
    // Rendered by script: neither id marker, and only the service's name as the title.
    res.set_content(
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>\xE5\xBE\xAE\xE5\x8D\x9A</title>"
        "</head><body><div id=\"app\"></div><script src=\"/js/index.js\"></script></body></html>",
        "text/html; charset=utf-8");
    return true;
  }
  if (path == "/ajax/profile/info") {
    if (!session) return to_visitor();
    const SampleUser* found = nullptr;
    for (const auto& u : users) {
      if ((q.count("uid") && q.at("uid") == u.uid) || (q.count("custom") && "/" + q.at("custom") == u.path) ||
          (q.count("screen_name") && q.at("screen_name") == u.title))
        found = &u;
    }
    if (!found) {
      res.set_content("{\"ok\":0,\"msg\":\"user not found\"}", "application/json; charset=utf-8");
      return true;
    }
    res.set_content("{\"ok\":1,\"data\":{\"user\":{\"id\":" + found->uid + ",\"idstr\":" +
                        json_string(found->uid) + ",\"screen_name\":" + json_string(found->title) + "}}}",
                    "application/json; charset=utf-8");
    return true;
  }
  if (path != "/albums/get_all" && path != "/photos/get_all") return false;
  if (!has_session_cookie(req)) return to_visitor();
  if (!session) {
    login_page(res);  // an expired session: the login page, status 200
    return true;
  }
  const auto now = std::chrono::steady_clock::now();
  burst_count = now - last_list_request < std::chrono::seconds(1) ? burst_count + 1 : 1;
  last_list_request = now;
  if (list_burst > 0 && burst_count > list_burst) {
    burst_count = 0;
    res.status = 429;
    res.set_header("Retry-After", "1");
    res.set_content("{\"ok\":0,\"code\":\"100004\",\"msg\":\"\\u8bf7\\u6c42\\u8fc7\\u4e8e\\u9891\\u7e41\"}",
                    "application/json; charset=utf-8");
    return true;
  }
  if (path == "/albums/get_all") {
    album_list(q, session, res, 20);
  } else {
    photo_list(q, session, res, 30);
  }
  return true;
}

SampleService::SampleService(int port) : impl_(std::make_unique<Impl>()) {
  Impl* impl = impl_.get();
  auto handler = [impl](const httplib::Request& req, httplib::Response& res) { impl->handle(req, res); };
  impl->server.Get(".*", handler);
  impl->server.Post(".*", handler);
  impl->server.Options(".*", handler);
  impl->server.set_keep_alive_max_count(100);
  // Enough workers for several connections of one client kept alive at once, and more.
  impl->server.new_task_queue = [] { return new httplib::ThreadPool(24); };
  if (port == 0) {
    impl->port = impl->server.bind_to_any_port("127.0.0.1");
  } else {
    impl->port = impl->server.bind_to_port("127.0.0.1", port) ? port : -1;
  }
  if (impl->port <= 0) throw std::runtime_error("sample service: cannot listen on 127.0.0.1");
  impl->thread = std::thread([impl] { impl->server.listen_after_bind(); });
  // The socket listens from the bind on; connections wait in its backlog until the loop runs.
  while (!impl->server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
}

void SampleService::set_users(std::vector<SampleUser> users) {
  std::lock_guard lock(impl_->mutex);
  impl_->users = std::move(users);
  impl_->image_faults_served.clear();
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
  impl_->faults.clear();
  impl_->image_faults_served.clear();
  impl_->sessions.clear();
  impl_->requests.clear();
  impl_->profile = ServiceProfile::Classic;
  impl_->list_burst = 25;
  impl_->burst_count = 0;
  impl_->image_rules.reset();
  impl_->images_since_limit = impl_->images_refused = 0;
  impl_->link_latency_ms = 0;
  impl_->link_bytes_per_second = 0;
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
}

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
