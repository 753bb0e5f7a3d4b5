// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Request composition and cookie jar: the transport-free half of the HTTP layer.
// Pure functions over GBK texts; nothing here performs I/O or fails.
#include <string>
#include <string_view>

namespace af {

enum class HttpMethod { Get, Post, Head };
std::string method_text(HttpMethod method);

enum class HeaderStyle { Inet, Object };

inline constexpr std::string_view kDefaultAgent = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

bool is_secure_address(std::string_view address);
std::string url_host(std::string_view address, bool keep_port = false);
int url_port(std::string_view address);
std::string url_path(std::string_view address);
std::string header_name(std::string_view line);
std::string header_value(std::string_view line);
std::string choose_user_agent(std::string_view headers);
// Completes `headers` in place with the program's defaults.
void complete_headers(std::string& headers, std::string_view address, std::string_view cookie_text,
                      HeaderStyle style);
// Normalises "Set-Cookie" names in `response_headers` in place; returns "a=1; b=2".
std::string collect_cookies(std::string& response_headers);
// Merges `received` into `jar` (both rewritten in place, spaces removed).
void merge_cookies(std::string& jar, std::string& received);
std::string cookie_name(std::string_view item);
std::string remove_duplicate_items(std::string_view text, std::string_view separator);

}  // namespace af
