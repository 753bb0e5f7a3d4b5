#include "service/album_list.h"

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "core/gate.h"
#include "http/fetch.h"
#include "service/list_answer.h"
#include "util/codepage.h"
#include "util/escapes.h"
#include "util/json_document.h"
#include "util/text.h"

namespace af {
namespace {

constexpr int kCoverColumn = 3;
constexpr int kCoverWidth = 100;

std::string without(std::string_view text, std::string_view piece) { return replace_text(text, piece, ""); }

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

size_t collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// Ends the transfer when the job's gate ends; holds it while paused.
int cover_progress(void* gate_pointer, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  Gate* gate = static_cast<Gate*>(gate_pointer);
  return gate->pass() ? 0 : 1;
}

// Fetches the album list, and its further pages while data.total says more albums exist,
// into `albums` (in answer order, repeats left out). `failure` tells a page that stayed
// unusable. False when the gate ended the job.
bool fetch_album_pages(const AlbumListJob& job, Gate& gate, std::vector<JsonDocument>& albums,
                       std::string& failure) {
  constexpr int kLongestList = 10000;  // pages; a total that never comes true ends somewhere
  std::set<std::string> seen;
  ListFetch fetch;
  fetch.pacing = job.pacing;
  fetch.gate = job.gate;
  fetch.list_member = "album_list";
  std::int64_t total = 0;
  for (int page = 1; page <= kLongestList; ++page) {
    if (!gate.pass()) return false;
    const std::string address = page == 1 ? album_list_address(job.endpoints, job.user_id)
                                          : album_list_page_address(job.endpoints, job.user_id, page);
    const ListAnswer answer = fetch_list(address, fetch);
    if (gate.ended() || answer.problem == ListProblem::Ended) return false;
    if (!gate.wait_for(job.pacing.after_album_list)) return false;
    if (!answer.usable) {
      failure = page == 1 ? G("相册列表获取失败：") + answer.cause
                          : G("相册列表第") + std::to_string(page) + G("页获取失败：") + answer.cause;
      return true;
    }
    JsonDocument root;
    root.parse(answer.text);
    const JsonDocument list = root.member("data").member("album_list");
    const int n = list.array_size();
    bool brought_new = false;
    for (int i = 0; i < n; ++i) {
      JsonDocument album = list.element(i);
      const std::string id = without(album.member("album_id").to_text(), "\"");
      // Within the first answer every album counts, as it always did; later pages add only
      // albums not seen before.
      if (!seen.insert(id).second && page > 1) continue;
      brought_new = true;
      albums.push_back(std::move(album));
    }
    if (page == 1) total = to_int32(without(root.member("data").member("total").to_text(), "\""));
    if (!brought_new || static_cast<std::int64_t>(albums.size()) >= total) return true;
  }
  return true;
}

}  // namespace

std::string album_list_address(const ServiceEndpoints& endpoints, const std::string& user_id) {
  return endpoints.photo_base + "/albums/get_all?uid=" + user_id + "&count=6355";
}

std::string album_list_page_address(const ServiceEndpoints& endpoints, const std::string& user_id, int page) {
  return album_list_address(endpoints, user_id) + "&page=" + std::to_string(page);
}

bool looks_like_picture(const std::string& bytes) {
  auto starts = [&](std::string_view head) { return bytes.compare(0, head.size(), head) == 0; };
  return starts("\xFF\xD8\xFF") || starts("GIF87a") || starts("GIF89a") || starts("\x89PNG\r\n\x1A\n") ||
         (starts("BM") && bytes.size() > 26);
}

std::string fetch_cover(const std::string& address, Gate* gate) {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!initialised) return {};
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) return {};
  std::unique_ptr<curl_slist, ListDeleter> headers(curl_slist_append(nullptr, "Accept: */*"));
  // The image hosts refuse (403) a picture asked for without a page of the service as the
  // Referer; such a cover is asked once more with one.
  std::unique_ptr<curl_slist, ListDeleter> with_referer(
      curl_slist_append(curl_slist_append(nullptr, "Accept: */*"), "Referer: https://weibo.com/"));
  std::string body;
  CURL* e = easy.get();
  curl_easy_setopt(e, CURLOPT_URL, address.c_str());
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  curl_easy_setopt(e, CURLOPT_USERAGENT, "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)");
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(e, CURLOPT_PROXY, "");  // direct, whatever the environment says
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, 60L);
  // A stalled server must not hold the job for ever: give up after a minute without data.
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, 60L);
  // Nor a trickling one: the whole request ends at the usual deadline.
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, kDefaultRequestDeadlineMs);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &body);
  if (gate) {
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, cover_progress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, gate);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  }
  // No cookie engine and no share handle: the cover request carries no cookies.
  if (curl_easy_perform(e) != CURLE_OK) return {};
  long status = 0;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
  if (status == 403 && with_referer) {
    body.clear();
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, with_referer.get());
    if (curl_easy_perform(e) != CURLE_OK) return {};
  }
  return body;
}

int load_album_list(const AlbumListJob& job, AlbumListView& view) {
  OpenGate open;
  Gate& gate = job.gate ? *job.gate : open;
  if (!gate.pass()) return 0;
  view.show_canvas(true);
  for (int column : {5, 6, 7}) view.set_column_width(column, 0);
  view.set_status(G("相册获取中，耐心等待..."));
  view.clear_rows();
  view.reset_covers();

  std::vector<JsonDocument> albums;
  std::string failure;
  if (!fetch_album_pages(job, gate, albums, failure)) return 0;
  const int n = static_cast<int>(albums.size());
  if (n == 0) {
    if (!gate.pass()) return 0;
    if (failure.empty()) {
      view.show_message(G("获取到相册个数为：0"), G("温馨提示"));
    } else {
      view.tell_failure(failure);
    }
    return 0;
  }

  if (!gate.pass()) return 0;
  view.set_progress_position(0);
  int position = 0;
  int rows = 0;
  for (int i = 1; i <= n; ++i) {
    if (!gate.pass()) return rows;
    view.set_progress_maximum(n);
    ++position;
    view.set_progress_position(position);
    // Whole numbers, as the download does: 29 of 100 is "29%", never a rounded-down 28.
    const std::int64_t percent = std::int64_t{position} * 100 / n;
    view.set_progress_label(std::to_string(percent) + "%");

    const JsonDocument& album = albums[static_cast<std::size_t>(i - 1)];
    const std::string caption = decode_escapes(without(album.member("caption").to_text(), "\""));
    const std::string cover = without(without(album.member("cover_pic").to_text(), "\""), "\\");
    const std::string photos = without(album.member("count").member("photos").to_text(), "\"");

    if (!gate.wait_for(job.pacing.per_album)) return rows;
    if (photos == "0") continue;

    AlbumRow row;
    row.serial = std::to_string(rows + 1);
    row.caption = caption;
    row.photos = photos;
    row.album = {without(album.member("album_id").to_text(), "\""),
                 without(album.member("type").to_text(), "\"")};
    if (!gate.pass()) return rows;
    if (view.covers_wanted()) {
      view.set_column_width(kCoverColumn, kCoverWidth);
      std::string picture = cover.empty() ? placeholder_cover() : fetch_cover(cover, job.gate);
      if (gate.ended()) return rows;
      // A cover that failed to arrive shows the placeholder, never another album's cover.
      row.cover_is_placeholder = cover.empty() || !looks_like_picture(picture);
      row.cover = row.cover_is_placeholder ? placeholder_cover() : std::move(picture);
    } else {
      view.set_column_width(kCoverColumn, 0);
    }
    if (!gate.pass()) return rows;
    view.add_row(row);
    ++rows;
  }

  if (!gate.pass()) return rows;
  view.show_canvas(false);
  // A later page that failed leaves the list short: said before the totals.
  if (!failure.empty()) view.tell_failure(failure);
  const std::string count = std::to_string(rows);
  view.set_status(G("相册列表获取完毕,共计") + count + G("个"));
  view.append_log(G("-----获取完毕,共计") + count + G("个") + "\r\n\r\n");
  return rows;
}

std::thread get_albums(const AlbumsCommand& command, std::shared_ptr<AlbumListView> view, ResolvedUser& user) {
  if (command.box_text.empty()) {
    view->show_message(G("请输入网址"), G("信息："));
    return {};
  }
  user.home_page_address = normalize_address(command.box_text);
  // The command's gate reaches the home-page fetch too, so an end does not wait for a slow page.
  const UserPage page = resolve_user(user.home_page_address, command.gate,
                                     static_cast<long>(command.pacing.request_deadline.count()));
  user.user_id = page.user_id;
  user.user_title = page.title;
  user.failure = page.failure;
  if (command.gate && command.gate->ended()) return {};
  // Without a user id there is no album list to ask for: the view says why instead.
  if (!page.failure.empty() || page.user_id.empty()) {
    view->tell_failure(page.failure);
    return {};
  }
  view->set_status(G("温馨提示：正在获取相册列表..."));
  view->append_log(G("正努力获取相册列表，耐心等待哈！") + "\r\n\r\n");
  // The canvas is hidden before the job starts, so the job's own show/hide decides.
  view->show_canvas(false);
  AlbumListJob job;
  job.endpoints = command.endpoints;
  job.user_id = user.user_id;
  job.pacing = command.pacing;
  job.gate = command.gate;
  return std::thread([job = std::move(job), view = std::move(view)] { load_album_list(job, *view); });
}

}  // namespace af
