#include "http/redirects.h"

#include <utility>

#include "http/curl_handles.h"
#include "util/text.h"

namespace af::wire {

namespace {

constexpr unsigned kFollowFlags = CURLU_URLENCODE | CURLU_ALLOW_SPACE | CURLU_PATH_AS_IS;

// A copy of `path` that curl's address parser accepts. curl keeps cookie paths and
// resolves relative redirects by it; the request line carries the path itself.
std::string parsable_path(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : path) {
    auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F || std::string_view("\"<>\\^`{|}").find(ch) != std::string_view::npos) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

// The request a redirect leads to: `location` resolved against the address of the
// request it answered, as curl itself would. False when it cannot be followed.
bool resolve_location(const std::string& base, const std::string& location, Hop& next) {
  UrlHandle url;
  if (!url.get() ||
      curl_url_set(url.get(), CURLUPART_URL, base.c_str(), CURLU_ALLOW_SPACE | CURLU_PATH_AS_IS) !=
          CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_URL, location.c_str(), kFollowFlags) != CURLUE_OK)
    return false;
  next.scheme = lower_text(url.part(CURLUPART_SCHEME));
  if (next.scheme != "http" && next.scheme != "https") return false;
  next.host = lower_text(url.part(CURLUPART_HOST));
  next.port = to_int32(url.part(CURLUPART_PORT, CURLU_DEFAULT_PORT));
  next.url = url.part(CURLUPART_URL);
  next.target.clear();
  return !next.url.empty() && !next.host.empty();
}

void note_set_cookies(std::string_view block, const std::string& host, std::vector<CookieSet>& set) {
  for (const std::string& line : split_text(block, "\r\n")) {
    if (!starts_with_ignore_case(line, "set-cookie:")) continue;
    std::string_view rest = std::string_view(line).substr(11);
    std::size_t end = rest.find_first_of("=;");
    std::string_view name = trim_spaces(rest.substr(0, end));
    if (!name.empty()) set.push_back({host, std::string(name)});
  }
}

bool is_followed_status(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

Hop first_hop(std::string_view address, bool through_proxy) {
  Hop hop;
  const bool secure = is_secure_address(address);
  hop.scheme = secure ? "https" : "http";
  hop.host = url_host(address);
  const long standard = secure ? 443 : 80;
  hop.port = url_port(address);
  if (hop.port == 0) hop.port = standard;
  std::string origin = hop.scheme + "://" + hop.host;
  if (hop.port != standard) origin += ":" + std::to_string(hop.port);
  const std::string path = url_path(address);
  hop.url = origin + parsable_path(path);
  hop.target = through_proxy && !secure ? origin + path : path;
  return hop;
}

TransferEnd run_exchange(CURL* h, Exchange& ex, const Hop& first, Plan plan, std::vector<CookieSet>* set) {
  ex.prepare(h);
  Hop hop = first;
  for (long redirects = 0;; ++redirects) {
    const bool first_origin = hop.scheme == first.scheme && hop.host == first.host && hop.port == first.port;
    TextList list;
    for (const std::string& line : plan.lines) {
      if (!first_origin &&
          (names_header(line, "Cookie") || names_header(line, "Authorization") || names_header(line, "Host")))
        continue;
      list.add(line);
    }
    curl_easy_setopt(h, CURLOPT_URL, hop.url.c_str());
    curl_easy_setopt(h, CURLOPT_REQUEST_TARGET, hop.target.empty() ? nullptr : hop.target.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());
    if (plan.user) {
      curl_easy_setopt(h, CURLOPT_USERNAME, first_origin ? plan.user->c_str() : nullptr);
      curl_easy_setopt(h, CURLOPT_PASSWORD, first_origin ? plan.password->c_str() : nullptr);
    }
    body_options(h, plan.method, plan.body, ex);
    TransferEnd end = ex.perform();
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);  // the list ends with this request
    if (set && end != TransferEnd::None) note_set_cookies(ex.header_block, hop.host, *set);

    if (end != TransferEnd::Complete || !plan.follow || !is_followed_status(ex.block_status)) return end;
    std::string location = response_header(ex.header_block, "Location");
    Hop next;
    if (location.empty() || !resolve_location(hop.url, location, next)) return end;
    if (redirects >= plan.max_redirects) {
      ex.failure = FetchFailure::Other;
      ex.detail = "too many redirects";
      return TransferEnd::Partial;
    }
    const int status = ex.block_status;
    if (((status == 301 || status == 302) && plan.method == "POST") ||
        (status == 303 && plan.method != "GET" && plan.method != "HEAD"))
      plan.method = "GET";
    if (plan.method == "GET") plan.body.clear();
    hop = std::move(next);
  }
}

}  // namespace af::wire
