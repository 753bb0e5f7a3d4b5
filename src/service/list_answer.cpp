// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/list_answer.h"

#include "core/gate.h"
#include "http/fetch.h"
#include "http/rate_limit.h"
#include "util/codepage.h"
#include "util/escapes.h"
#include "util/json_document.h"
#include "util/text.h"

namespace af {

namespace {

// An address: its escapes' backslashes (those of "\/" above all) left out.
std::string address_text(const JsonDocument& value) { return replace_text(answer_text(value), "\\", ""); }

ListedAlbum read_album(const JsonDocument& album) {
  ListedAlbum listed;
  listed.caption = decode_escapes(answer_text(album.member("caption")));
  listed.cover = address_text(album.member("cover_pic"));
  listed.photos = PhotoCount::of_text(answer_text(album.member("count").member("photos")));
  listed.album = {answer_text(album.member("album_id")), answer_text(album.member("type"))};
  return listed;
}

std::vector<PhotoEntry> read_photo_page(const JsonDocument& root) {
  std::vector<PhotoEntry> photos;
  const JsonDocument list = root.member("data").member("photo_list");
  for (int i = 0; i < list.array_size(); ++i) photos.push_back(read_photo_entry(list.element(i)));
  return photos;
}

bool worth_waiting_longer(const ListAnswer& answer, int status) {
  return limits_this_machine(answer.problem) || (status >= 500 && status <= 599);
}

ListAnswer ended_answer() {
  ListAnswer answer;
  answer.problem = ListProblem::Ended;
  answer.cause = G("已结束");
  return answer;
}

}  // namespace

std::string answer_text(const JsonDocument& value) { return replace_text(value.to_text(), "\"", ""); }

AlbumPage read_album_page(const JsonDocument& root) {
  AlbumPage page;
  const JsonDocument data = root.member("data");
  const JsonDocument list = data.member("album_list");
  for (int i = 0; i < list.array_size(); ++i) page.albums.push_back(read_album(list.element(i)));
  page.total = to_int32(answer_text(data.member("total")));
  return page;
}

PhotoEntry read_photo_entry(const JsonDocument& item) {
  PhotoEntry entry;
  entry.photo_id = answer_text(item.member("photo_id"));
  entry.timestamp = answer_text(item.member("timestamp"));
  entry.pic_host = address_text(item.member("pic_host"));
  entry.pic_name = address_text(item.member("pic_name"));
  entry.image_address = entry.pic_host + kImagePath + entry.pic_name;
  entry.extension = contains_text(entry.pic_name, ".gif") ? ".gif" : ".jpg";
  entry.feed_id = answer_text(item.member("feed_id"));
  entry.caption_render = answer_text(item.member("caption_render"));
  entry.caption_full = item.member("caption_render").string_value();
  return entry;
}

bool limits_this_machine(ListProblem problem) {
  return problem == ListProblem::RateLimited || problem == ListProblem::Refused;
}

std::string refusal_cause() { return G("服务拒绝了本程序的请求（HTTP 432）"); }

ListProblem page_limit(int status, const std::string& text) {
  if (is_refusal(status)) return ListProblem::Refused;
  if (is_rate_limited(status, "") || (status >= 400 && is_rate_limited(0, text))) return ListProblem::RateLimited;
  return ListProblem::None;
}

std::string login_advice() { return G("请先在“登录”页登录微博，再重新获取"); }

bool looks_like_html(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return false;
  if (text[first] == '<') return true;
  return contains_text(text.substr(0, 2048), "<html", true);
}

bool is_login_page(const std::string& page) {
  static const char* const kMarkers[] = {
      "Sina Visitor System",    "passport.weibo.com/visitor", "login.sina.com.cn",
      "passport.weibo.com/sso", "type=\"password\"",          "type='password'",
  };
  for (const char* marker : kMarkers)
    if (contains_text(page, marker, true)) return true;
  return false;
}

std::string describe_page_failure(int status, const std::string& failure_cause) {
  if (!failure_cause.empty()) return failure_cause;
  if (is_refusal(status)) return refusal_cause();
  if (is_rate_limited(status, "")) return G("服务限制了请求频率（HTTP ") + std::to_string(status) + G("）");
  if (status >= 400) return G("服务器回答 HTTP ") + std::to_string(status);
  return {};
}

ListAnswer judge_list_answer(int status, const std::string& text, const std::string& list_member,
                             const std::string& failure_cause) {
  ListAnswer answer;
  if (!failure_cause.empty()) {
    answer.problem = ListProblem::Transport;
    answer.cause = failure_cause;
    return answer;
  }
  // Words that ask for patience count only in an answer that is not the list: a caption
  // may hold them too.
  auto rate_limited = [&](const std::string& words) {
    answer.problem = ListProblem::RateLimited;
    answer.cause = G("服务限制了请求频率");
    if (status != 200) answer.cause += G("（HTTP ") + std::to_string(status) + G("）");
    if (!words.empty()) answer.cause += G("：") + words;
    return answer;
  };
  // An error page is judged as the home page's is: a limit, a refusal, or its status.
  switch (page_limit(status, text)) {
    case ListProblem::RateLimited:
      return rate_limited({});
    case ListProblem::Refused:
      answer.problem = ListProblem::Refused;
      answer.cause = refusal_cause();
      return answer;
    default:
      break;
  }
  if (status >= 400) {
    answer.problem = ListProblem::Status;
    answer.cause = G("服务器回答 HTTP ") + std::to_string(status);
    return answer;
  }
  if (text.empty()) {
    answer.problem = ListProblem::Empty;
    answer.cause = G("服务返回了空白内容");
    return answer;
  }
  if (looks_like_html(text)) {
    if (is_rate_limited(0, text)) return rate_limited({});
    answer.problem = ListProblem::Login;
    answer.cause = G("服务返回了网页而不是列表，登录可能已失效：") + login_advice();
    return answer;
  }
  JsonDocument root;
  if (!root.parse(text) || root.failed()) {
    if (is_rate_limited(0, text)) return rate_limited({});
    answer.problem = ListProblem::NotJson;
    answer.cause = G("服务返回的内容不是列表");
    return answer;
  }
  const JsonDocument code = root.member("code");
  const bool has_code = !code.is_null() && !code.failed();
  const std::string code_text = has_code ? answer_text(code) : std::string();
  if (has_code && code_text != "0") {
    std::string msg = decode_escapes(answer_text(root.member("msg")));
    if (msg == "null") msg.clear();
    if (is_rate_limited(0, msg)) return rate_limited(msg);
    answer.problem = ListProblem::Code;
    answer.cause = G("服务返回错误代码 ") + code_text;
    if (!msg.empty()) answer.cause += G("：") + msg;
    return answer;
  }
  // Without the list array the answer is usable only when the service says all is well.
  const bool has_list = root.member("data").member(list_member).to_text().starts_with("[");
  if (!has_list && !has_code) {
    answer.problem = ListProblem::NotJson;
    answer.cause = G("服务返回的内容不是列表");
    return answer;
  }
  answer.usable = true;
  answer.problem = ListProblem::None;
  if (list_member == "album_list") answer.album_page = read_album_page(root);
  if (list_member == "photo_list") answer.photos = read_photo_page(root);
  return answer;
}

ListAnswer fetch_list(const std::string& address, const ListFetch& fetch) {
  OpenGate open;
  Gate& gate = fetch.gate ? *fetch.gate : open;
  // The give-up limit counts only the time the job runs: a pause (even one that holds the
  // answer in flight) leaves the album its tries.
  const auto start = gate.running_time();
  ListAnswer answer;
  // While the service limits requests, every list request waits a little longer first.
  if (fetch.slowdown && !gate.wait_for(fetch.slowdown->wait())) return ended_answer();
  for (int attempt = 1; attempt <= fetch.tries; ++attempt) {
    if (!gate.pass()) break;
    PageRequest request;
    request.gate = fetch.gate;
    request.deadline_ms = static_cast<long>(fetch.pacing.request_deadline.count());
    const Response response = fetch_page(address, request);
    if (gate.ended()) break;
    answer = judge_list_answer(response.status, service_utf8_to_text(response.body), fetch.list_member,
                               response.answered() ? std::string() : describe_outcome(response));
    answer.tries = attempt;
    answer.retry_after_ms = retry_after_ms(response.headers);
    if (fetch.slowdown) {
      if (answer.usable) fetch.slowdown->answered();
      if (limits_this_machine(answer.problem)) fetch.slowdown->limited();
    }
    if (answer.usable) return answer;
    if (attempt == fetch.tries) {
      answer.cause += G("；") + std::to_string(attempt) + G("次尝试后放弃");
      return answer;
    }
    const std::chrono::milliseconds wait = worth_waiting_longer(answer, response.status)
                                               ? retry_wait(fetch.pacing, attempt, response.headers)
                                               : fetch.pacing.empty_page_retry;
    // A list that keeps failing is given up once the next wait would reach the limit.
    if (gate.running_time() - start + wait >= fetch.pacing.album_give_up) {
      answer.cause += G("；") + std::to_string(attempt) + G("次尝试后放弃");
      return answer;
    }
    if (!gate.wait_for(wait)) break;
  }
  return ended_answer();
}

}  // namespace af
