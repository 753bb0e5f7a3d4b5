// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/user_page.h"

#include <algorithm>
#include <vector>

#include "http/fetch.h"
#include "http/rate_limit.h"
#include "service/list_answer.h"
#include "util/codepage.h"
#include "util/escapes.h"
#include "util/json_document.h"
#include "util/text.h"

namespace af {

namespace {

bool all_digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The address without its scheme(s): "host/path?query".
std::string_view after_scheme(std::string_view address) {
  for (;;) {
    const std::size_t at = address.find("://");
    if (at == std::string_view::npos) return address;
    address.remove_prefix(at + 3);
  }
}

std::string_view host_of(std::string_view address) {
  const std::string_view rest = after_scheme(address);
  return rest.substr(0, rest.find_first_of("/?#"));
}

// The first path segments of an address, query and fragment left off.
std::vector<std::string> path_segments(std::string_view address) {
  std::string_view rest = after_scheme(address);
  const std::size_t slash = rest.find('/');
  std::vector<std::string> segments;
  if (slash == std::string_view::npos) return segments;
  rest.remove_prefix(slash + 1);
  rest = rest.substr(0, rest.find_first_of("?#"));
  while (!rest.empty()) {
    const std::size_t end = rest.find('/');
    segments.emplace_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return segments;
}

// Paths of the service's own pages, which name no user.
bool is_service_path(std::string_view segment) {
  static const char* const kOwn[] = {"u", "n", "p", "ajax", "login", "logout", "visitor", "albums", "signup"};
  return std::any_of(std::begin(kOwn), std::end(kOwn), [&](const char* own) { return segment == own; });
}

// An ajax answer that wants a login: {"ok":-100,"url":"https://weibo.com/login.php?..."}
// (any "ok" but 1, with a login address).
bool asks_for_login(const std::string& text) {
  JsonDocument root;
  if (!root.parse(text)) return false;
  const std::string ok = answer_text(root.member("ok"));
  if (ok == "1" || ok == "null") return false;
  const std::string url = answer_text(root.member("url"));
  return contains_text(url, "login", true) || contains_text(url, "passport", true);
}

}  // namespace

std::string normalize_address(std::string_view text) {
  std::string address = trim_text(text);
  if (!contains_text(address, "http://")) address = "http://" + address;
  return address;
}

std::string fetched_address(std::string_view address) {
  constexpr std::string_view added = "http://";
  if (address.starts_with(added)) {
    const std::string scheme = lower_text(address.substr(added.size(), 8));
    if (scheme.starts_with("http://") || scheme == "https://") return std::string(address.substr(added.size()));
  }
  return std::string(address);
}

std::string user_id_from_page(std::string_view page) {
  std::string id = text_between(page, "$CONFIG['oid']='", "'");
  if (id.empty()) id = text_between(page, "owner_uid: ", ",");
  return id;
}

std::string title_from_page(std::string_view page) { return text_between(page, "<title>", "</title>"); }

std::string user_id_from_address(std::string_view address) {
  const std::vector<std::string> segments = path_segments(address);
  if (segments.size() >= 2 && segments[0] == "u" && all_digits(segments[1])) return segments[1];
  if (!segments.empty() && all_digits(segments[0])) return segments[0];
  return {};
}

ProfileQuery profile_query_from_address(std::string_view address) {
  const std::vector<std::string> segments = path_segments(address);
  if (segments.size() >= 2 && segments[0] == "n" && !segments[1].empty()) return {"screen_name", segments[1]};
  if (!segments.empty() && !segments[0].empty() && !is_service_path(segments[0]) && !all_digits(segments[0]))
    return {"custom", segments[0]};
  return {};
}

std::string profile_info_address(std::string_view address, const ProfileQuery& query) {
  std::string_view scheme = "http://";
  if (address.starts_with("https://") || address.starts_with("http://https://")) scheme = "https://";
  return std::string(scheme) + std::string(host_of(address)) + kProfileInfoPath + "?" + query.key + "=" +
         query.value;
}

ProfileInfo read_profile_info(const std::string& gbk_text) {
  JsonDocument root;
  ProfileInfo info;
  if (!root.parse(gbk_text)) return info;
  const JsonDocument user = root.member("data").member("user");
  std::string id = answer_text(user.member("idstr"));
  if (!all_digits(id)) id = answer_text(user.member("id"));
  if (!all_digits(id)) return info;
  info.user_id = id;
  const std::string name = answer_text(user.member("screen_name"));
  if (name != "null") info.screen_name = decode_escapes(name);
  return info;
}

bool is_service_title(std::string_view title) {
  const std::string t = trim_text(title);
  static const std::string kNames[] = {G("微博"), G("新浪微博"), "Weibo", "Sina Weibo",
                                       "Sina Visitor System"};
  for (const std::string& name : kNames) {
    if (t == name) return true;
    if (t.starts_with(name + "-") || t.starts_with(name + " -") || t.starts_with(name + G("－"))) return true;
  }
  return false;
}

UserPage resolve_user(const std::string& address, Gate* gate, long deadline_ms) {
  UserPage result;
  PageRequest request;
  request.gate = gate;
  request.deadline_ms = deadline_ms;
  const Response response = fetch_page(fetched_address(address), request);
  result.page = service_utf8_to_text(response.body);
  result.user_id = user_id_from_page(result.page);
  result.title = title_from_page(result.page);
  if (response.failure == FetchFailure::Ended) return result;

  const std::string cause =
      describe_page_failure(response.status, response.answered() ? "" : describe_outcome(response));
  if (!cause.empty() && result.user_id.empty()) {
    result.failure = G("用户主页获取失败：") + cause;
    if (response.answered()) {
      result.limit = page_limit(response.status, result.page);
      result.retry_after_ms = retry_after_ms(response.headers);
    }
    return result;
  }
  // A page with its id marker keeps its own title unless that is only the service's name.
  if (!result.user_id.empty() && !is_service_title(result.title)) return result;
  if (result.user_id.empty() && is_login_page(result.page)) {
    result.failure = G("用户主页打开的是登录页面（访客系统），没有登录或登录已失效：") + login_advice();
    return result;
  }

  // A page rendered by script: the id from the address, else from the profile info, and
  // the screen name for a title that is only the service's name.
  if (result.user_id.empty()) result.user_id = user_id_from_address(address);
  ProfileQuery query = profile_query_from_address(address);
  if (!result.user_id.empty()) query = {"uid", result.user_id};
  if (!query.key.empty()) {
    const Response profile = fetch_page(profile_info_address(address, query), request);
    const std::string text = service_utf8_to_text(profile.body);
    const ProfileInfo info = read_profile_info(text);
    if (result.user_id.empty()) result.user_id = info.user_id;
    if ((result.title.empty() || is_service_title(result.title)) && !info.screen_name.empty())
      result.title = info.screen_name;
    const ListProblem limit = profile.answered() ? page_limit(profile.status, text) : ListProblem::None;
    if (result.user_id.empty() && limits_this_machine(limit)) {
      result.failure = G("用户资料获取失败：") + describe_page_failure(profile.status, "");
      result.limit = limit;
      result.retry_after_ms = retry_after_ms(profile.headers);
      return result;
    }
    if (result.user_id.empty() && (is_login_page(text) || asks_for_login(text))) {
      result.failure = G("用户资料需要登录才能查看，没有登录或登录已失效：") + login_advice();
      return result;
    }
  }
  if (result.user_id.empty())
    result.failure = G("在用户主页中找不到用户ID：请确认地址是用户的微博主页（如 weibo.com/u/数字）");
  return result;
}

std::string album_overview_address(const ServiceEndpoints& endpoints, const std::string& user_id) {
  return endpoints.photo_base + "/" + user_id + kAlbumOverviewPath;
}

std::string show_user_albums(const ServiceEndpoints& endpoints, std::string_view url_box_text,
                             ResolvedUser& user) {
  user.home_page_address = normalize_address(url_box_text);
  const UserPage page = resolve_user(user.home_page_address);
  user.user_id = page.user_id;
  user.failure = page.failure;
  return album_overview_address(endpoints, user.user_id);
}

}  // namespace af
