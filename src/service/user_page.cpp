#include "service/user_page.h"

#include "http/fetch.h"
#include "util/codepage.h"
#include "util/text.h"

namespace af {

std::string normalize_address(std::string_view text) {
  std::string address = trim_text(text);
  if (!contains_text(address, "http://")) address = "http://" + address;
  return address;
}

std::string user_id_from_page(std::string_view page) {
  std::string id = text_between(page, "$CONFIG['oid']='", "'");
  if (id.empty()) id = text_between(page, "owner_uid: ", ",");
  return id;
}

std::string title_from_page(std::string_view page) { return text_between(page, "<title>", "</title>"); }

UserPage resolve_user(const std::string& address, Gate* gate) {
  UserPage result;
  PageRequest request;
  request.gate = gate;
  result.page = utf8_to_gbk(fetch_page(address, request));
  result.user_id = user_id_from_page(result.page);
  result.title = title_from_page(result.page);
  return result;
}

std::string album_overview_address(const ServiceEndpoints& endpoints, const std::string& user_id) {
  return endpoints.photo_base + "/" + user_id + "/albums/";
}

std::string show_user_albums(const ServiceEndpoints& endpoints, std::string_view url_box_text,
                             ResolvedUser& user) {
  user.home_page_address = normalize_address(url_box_text);
  user.user_id = resolve_user(user.home_page_address).user_id;
  return album_overview_address(endpoints, user.user_id);
}

}  // namespace af
