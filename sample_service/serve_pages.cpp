// SPDX-License-Identifier: GPL-3.0-or-later
// The service's HTML pages: the login form and its answer, the home pages (the Today
// profile's rendered by script), the album overview and the index.
#include <cctype>
#include <cstdio>
#include <ctime>

#include "service_impl.h"

namespace afsample {

namespace {

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
// The login cookie's attributes: kept for a year, as the real service keeps its login, so
// a browser and a cookie file keep it across a restart. The date is the form of RFC 7231,
// whatever the locale.
std::string lasting_for_a_year() {
  constexpr long kYear = 365L * 24 * 60 * 60;
  const std::time_t until = std::time(nullptr) + kYear;
  std::tm when{};
  gmtime_r(&until, &when);
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[96];
  std::snprintf(text, sizeof text, "; Expires=%s, %02d %s %04d %02d:%02d:%02d GMT; Max-Age=%ld",
                kDays[when.tm_wday], when.tm_mday, kMonths[when.tm_mon], when.tm_year + 1900, when.tm_hour,
                when.tm_min, when.tm_sec, kYear);
  return text;
}

}  // namespace

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

bool SampleService::Impl::page(const httplib::Request& req, const std::string& path, httplib::Response& res) {
  if (path == "/login" && req.method == "POST") {
    if (form_value(req.body, "username") == login_user &&
        form_value(req.body, "password") == login_password) {
      const std::string token = login_token();
      sessions.insert(token);
      res.set_header("Set-Cookie",
                     std::string(kSessionCookie) + "=" + token + lasting_for_a_year() + "; Path=/; HttpOnly");
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
    login_remembered = false;
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
      return false;
    }
  }
  return true;
}

bool SampleService::Impl::to_visitor(const std::string& path, httplib::Response& res) const {
  res.status = 302;
  res.set_header("Location", base() + "/visitor/visitor?entry=miniblog&a=enter&url=" + path);
  res.set_content("", "text/html");
  return true;
}

bool SampleService::Impl::today_page(const httplib::Request& req, const std::string& path,
                                     const std::map<std::string, std::string>& q, httplib::Response& res) {
  const bool session = logged_in(req);
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
    if (!session) return to_visitor(path, res);
    // Rendered by script: neither id marker, and only the service's name as the title.
    res.set_content(
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>\xE5\xBE\xAE\xE5\x8D\x9A</title>"
        "</head><body><div id=\"app\"></div><script src=\"/js/index.js\"></script></body></html>",
        "text/html; charset=utf-8");
    return true;
  }
  if (path == "/ajax/profile/info") {
    if (!session) {
      login_json(res);
      return true;
    }
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
  return false;
}

}  // namespace afsample
