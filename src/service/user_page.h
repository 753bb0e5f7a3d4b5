#pragma once
// User page resolution: from a typed home-page address to the user id and page title.
#include <string>
#include <string_view>

#include "service/photo_list.h"

namespace af {

class Gate;

// The values the two user commands leave behind for the album list and the download.
struct ResolvedUser {
  std::string home_page_address;  // the normalized address last fetched
  std::string user_id;            // digits as text; may be empty
  std::string user_title;         // text of <title>; written by get_albums only
};

// Blanks (ASCII and full-width) off both ends; "http://" in front unless the text holds
// "http://" somewhere (case-sensitive, so "HTTP://" and "https://" get it too).
std::string normalize_address(std::string_view text);

// The id markers: "$CONFIG['oid']='" ... "'", else "owner_uid: " ... ",".
std::string user_id_from_page(std::string_view page);
std::string title_from_page(std::string_view page);

struct UserPage {
  std::string page;     // the body converted from UTF-8 to GBK; empty when the fetch failed
  std::string user_id;
  std::string title;
};

// Fetches `address` with fetch_page at its defaults (shared cookie store), converts the
// body with utf8_to_gbk and cuts id and title out of it. Never fails. A supplied `gate`
// holds the fetch while paused and aborts it when ended (the result is then empty).
UserPage resolve_user(const std::string& address, Gate* gate = nullptr);

// The "[查看用户专辑]" command: resolves the address typed in 编辑框_url, writes
// home_page_address and user_id into `user` (user_title untouched) and returns the
// album overview address for the browser box.
std::string show_user_albums(const ServiceEndpoints& endpoints, std::string_view url_box_text,
                             ResolvedUser& user);

// "<service>/<user_id>/albums/" (an empty id gives two slashes).
std::string album_overview_address(const ServiceEndpoints& endpoints, const std::string& user_id);

}  // namespace af
