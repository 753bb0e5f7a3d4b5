// SPDX-License-Identifier: GPL-3.0-or-later
// The lists: albums and photos as JSON, and the Today profile's sessions and rate limit
// before them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "service_impl.h"

namespace afsample {

namespace {

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
    const bool raw_caption = p.caption_form == CaptionForm::RawUtf8;
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
            ",\"caption_render\":" + json_string(p.caption_render, raw_caption) +
            ",\"caption\":" + json_string(p.caption_render, raw_caption) +
            ",\"is_favorited\":false,\"count\":{\"likes\":0,\"comments\":0}}";
  }
  res.set_content("{\"result\":true,\"data\":{\"album_id\":" + json_string(album->album_id) +
                      ",\"photo_list\":[" + list + "],\"total\":" + std::to_string(album->photos.size()) +
                      "},\"code\":0}",
                  "application/json; charset=utf-8");
}

bool SampleService::Impl::has_session_cookie(const httplib::Request& req) const {
  const std::string cookies = req.get_header_value("Cookie");
  const std::string name = std::string(kSessionCookie) + "=";
  return cookies.rfind(name, 0) == 0 || cookies.find("; " + name) != std::string::npos;
}

bool SampleService::Impl::today_list(const httplib::Request& req, const std::string& path,
                                     const std::map<std::string, std::string>& q, httplib::Response& res) {
  if (path != "/albums/get_all" && path != "/photos/get_all") return false;
  if (!has_session_cookie(req)) return to_visitor(path, res);
  if (!logged_in(req)) {
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
    album_list(q, true, res, 20);
  } else {
    photo_list(q, true, res, 30);
  }
  return true;
}

}  // namespace afsample
