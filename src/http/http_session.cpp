// SPDX-License-Identifier: GPL-3.0-or-later
#include "http/http_session.h"

#include <vector>

#include "util/text.h"

namespace af {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kSetCookie = "Set-Cookie";

}  // namespace

std::string method_text(HttpMethod method) {
  switch (method) {
    case HttpMethod::Post:
      return "POST";
    case HttpMethod::Head:
      return "HEAD";
    case HttpMethod::Get:
      break;
  }
  return "GET";
}

bool is_secure_address(std::string_view address) { return lower_text(left_text(address, 5)) == "https"; }

std::string url_host(std::string_view address, bool keep_port) {
  std::string t = lower_text(address);
  if (right_text(t, 1) != "/") t += "/";
  if (left_text(t, 8) == "https://") {
    t = text_between(t, "https://", "/");
  } else {
    // The first "http://" anywhere in the text is the one used.
    if (!contains_text(t, "http://")) t = "http://" + t;
    t = text_between(t, "http://", "/");
  }
  if (!keep_port) {
    if (std::size_t colon = find_text(t, ":"); colon != 0) t = left_text(t, static_cast<long long>(colon) - 1);
  }
  return t;
}

int url_port(std::string_view address) {
  std::string host_port = url_host(address, true);
  if (std::size_t colon = find_last_text(host_port, ":"); colon != 0) {
    return to_int32(std::string_view(host_port).substr(colon));
  }
  return is_secure_address(address) ? 443 : 80;
}

std::string url_path(std::string_view address) {
  std::string host = url_host(address);
  std::size_t p = find_text(address, host, 1, true);
  std::size_t q = find_text(address, "/", p, true);
  if (q > 0) return std::string(address.substr(q - 1));
  return "/";
}

std::string header_name(std::string_view line) {
  std::size_t colon = find_text(line, ":");
  if (colon == 0) return {};
  return trim_text(line.substr(0, colon - 1));
}

std::string header_value(std::string_view line) {
  std::size_t colon = find_text(line, ":");
  if (colon == 0) return {};
  return trim_text(line.substr(colon));
}

std::string choose_user_agent(std::string_view headers) {
  if (!contains_text(headers, "User-Agent:", true)) return std::string(kDefaultAgent);
  // The exact spelling is looked for first; a differently cased or final line falls back
  // to the text after the block's first colon.
  std::string agent = trim_text(text_between(headers, "User-Agent:", kLineEnd));
  if (agent.empty()) agent = header_value(headers);
  return agent;
}

void complete_headers(std::string& headers, std::string_view address, std::string_view cookie_text,
                      HeaderStyle style) {
  if (headers.empty()) {
    headers = "Accept: */*";
  } else if (!contains_text(headers, "Accept:")) {
    headers += "\r\nAccept: */*";
  }
  if (!contains_text(headers, "Referer:")) {
    headers += "\r\nReferer: ";
    headers += address;
  }
  if (!contains_text(headers, "Accept-Language:")) headers += "\r\nAccept-Language: zh-cn";
  if (style == HeaderStyle::Object && !contains_text(headers, "User-Agent:")) {
    headers += "\r\nUser-Agent: ";
    headers += kDefaultAgent;
  }
  if (!contains_text(headers, "Content-Type:")) headers += "\r\nContent-Type: application/x-www-form-urlencoded";
  if (style == HeaderStyle::Inet && !cookie_text.empty()) {
    headers += "\r\nCookie: ";
    headers += cookie_text;
  }
}

std::string collect_cookies(std::string& response_headers) {
  response_headers = replace_text(response_headers, kSetCookie, kSetCookie, true);
  std::string received;
  for (const std::string& line : split_text(response_headers, kLineEnd)) {
    if (!contains_text(line, kSetCookie)) continue;
    std::string item;
    if (contains_text(line, ";")) {
      item = trim_text(text_between(line, "Set-Cookie:", ";"));
    } else {
      item = trim_text(replace_text(line, "Set-Cookie:", "", true));
    }
    received += item;
    received += "; ";
  }
  if (!received.empty()) received.resize(received.size() - 2);
  return received;
}

void merge_cookies(std::string& jar, std::string& received) {
  jar = remove_spaces(jar);
  received = remove_spaces(received);
  std::vector<std::string> merged = split_text(received, ";");
  for (std::string& item : split_text(jar, ";")) {
    // Items appended here take part in later comparisons: of two old items with one
    // name only the first survives.
    std::string name = cookie_name(item);
    bool present = false;
    for (const std::string& have : merged) {
      if (cookie_name(have) == name) {
        present = true;
        break;
      }
    }
    if (!present) merged.push_back(std::move(item));
  }
  std::string result;
  for (const std::string& item : merged) {
    if (right_text(item, 8) == "=deleted") continue;
    result += item;
    result += "; ";
  }
  if (!result.empty()) result.resize(result.size() - 2);
  jar = remove_duplicate_items(result, "; ");
}

std::string cookie_name(std::string_view item) {
  std::size_t equals = find_text(item, "=");
  if (equals == 0) return trim_text(item);
  return trim_text(item.substr(0, equals - 1));
}

std::string remove_duplicate_items(std::string_view text, std::string_view separator) {
  std::vector<std::string> taken;
  for (std::string& item : split_text(text, separator)) {
    bool seen = false;
    for (const std::string& have : taken) {
      if (have == item) {
        seen = true;
        break;
      }
    }
    if (!seen) taken.push_back(std::move(item));
  }
  std::string result;
  for (const std::string& item : taken) {
    result += item;
    result += separator;
  }
  if (!taken.empty()) result.resize(result.size() - separator.size());
  return result;
}

}  // namespace af
