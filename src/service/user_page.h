// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// User page resolution: from a typed home-page address to the user id and page title.
#include <string>
#include <string_view>

#include "http/fetch.h"
#include "service/list_answer.h"
#include "service/model.h"

namespace af {

class Gate;

// Blanks (ASCII and full-width) off both ends; "http://" in front unless the text holds
// "http://" somewhere (case-sensitive, so "HTTP://" and "https://" get it too).
std::string normalize_address(std::string_view text);
// The address a home page is fetched from: normalize_address's text, except that "http://"
// put in front of a scheme of its own ("http://https://…", "http://HTTP://…") is dropped,
// so that an address copied from a browser reaches the host it names.
std::string fetched_address(std::string_view address);

// The id markers: "$CONFIG['oid']='" ... "'", else "owner_uid: " ... ",".
std::string user_id_from_page(std::string_view page);
std::string title_from_page(std::string_view page);

// The numeric id an address names itself: ".../u/<digits>" or ".../<digits>" as the
// first path segment; empty otherwise.
std::string user_id_from_address(std::string_view address);

// What the profile info service is asked by, for an address without a numeric id:
// ".../n/<name>" gives screen_name=<name>, ".../<name>" gives custom=<name>. Empty key
// when the address names neither.
struct ProfileQuery {
  std::string key;
  std::string value;
};
ProfileQuery profile_query_from_address(std::string_view address);

// "<scheme>://<host of address>/ajax/profile/info?<key>=<value>".
std::string profile_info_address(std::string_view address, const ProfileQuery& query);

// From a profile info answer {"ok":1,"data":{"user":{"idstr":..,"screen_name":..}}}:
// the id (idstr, else id) and the screen name (GBK); both empty when it is not one.
struct ProfileInfo {
  std::string user_id;
  std::string screen_name;
};
ProfileInfo read_profile_info(const std::string& gbk_text);

// Whether a page title is only the service's own name ("微博", "新浪微博", ...), which a
// script-rendered home page carries in place of the user's.
bool is_service_title(std::string_view title);

struct UserPage {
  std::string page;  // the body as engine text (GBK/GB18030); empty when the fetch failed
  std::string user_id;
  std::string title;
  std::string failure;  // see ResolvedUser::failure
  // With a failure: RateLimited or Refused when the service limits or refuses this
  // machine's requests (the home page or the profile info answered so), else None; and
  // what that answer's Retry-After asked for.
  ListProblem limit = ListProblem::None;
  long long retry_after_ms = -1;
};

// Fetches fetched_address(`address`) with fetch_page at its defaults (shared cookie store), converts the
// body with service_utf8_to_text (every character kept) and cuts id and title out of it.
// A supplied `gate` holds the fetch while paused and aborts it when ended (the result is
// then empty).
// When the page holds neither id marker, the id comes from the address, else from the
// profile info service; when the title is missing or only the service's name, the screen
// name from the profile info stands in. A failed fetch, an HTTP error, a limit or refusal,
// a login or visitor page, a profile info answer that asks for a login ({"ok":-100,
// "url":<login address>}) and a page without any id leave `failure` saying so.
UserPage resolve_user(const std::string& address, Gate* gate = nullptr,
                      long deadline_ms = kDefaultRequestDeadlineMs);

// The "[查看用户专辑]" command: resolves the address typed for it, writes
// home_page_address and user_id into `user` (user_title untouched) and returns the
// album overview address for the browser box.
std::string show_user_albums(const ServiceEndpoints& endpoints, std::string_view url_box_text,
                             ResolvedUser& user);

// "<service>/<user_id>/albums/" (an empty id gives two slashes).
std::string album_overview_address(const ServiceEndpoints& endpoints, const std::string& user_id);

}  // namespace af
