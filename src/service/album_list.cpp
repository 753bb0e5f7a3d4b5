#include "service/album_list.h"

#include <cstdint>
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

std::string without(std::string_view text, std::string_view piece) { return replace_text(text, piece, ""); }

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
  return endpoints.photo_base + kAlbumListPath + "?uid=" + user_id + "&count=6355";
}

std::string album_list_page_address(const ServiceEndpoints& endpoints, const std::string& user_id, int page) {
  return album_list_address(endpoints, user_id) + "&page=" + std::to_string(page);
}

bool looks_like_picture(const std::string& bytes) {
  auto starts = [&](std::string_view head) { return bytes.compare(0, head.size(), head) == 0; };
  return starts("\xFF\xD8\xFF") || starts("GIF87a") || starts("GIF89a") || starts("\x89PNG\r\n\x1A\n") ||
         (starts("BM") && bytes.size() > 26);
}

int load_album_list(const AlbumListJob& job, AlbumListView& view) {
  OpenGate open;
  Gate& gate = job.gate ? *job.gate : open;
  if (!gate.pass()) return 0;
  view.list_started();
  view.status(G("相册获取中，耐心等待..."));

  std::vector<JsonDocument> albums;
  std::string failure;
  if (!fetch_album_pages(job, gate, albums, failure)) return 0;
  const int n = static_cast<int>(albums.size());
  if (n == 0) {
    if (!gate.pass()) return 0;
    if (failure.empty()) {
      view.message(G("获取到相册个数为：0"), G("温馨提示"));
    } else {
      view.tell_failure(failure);
    }
    return 0;
  }

  if (!gate.pass()) return 0;
  int rows = 0;
  for (int i = 1; i <= n; ++i) {
    if (!gate.pass()) return rows;
    view.list_progress(i, n);

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
      std::string picture = cover.empty() ? placeholder_cover() : fetch_cover(cover, job.gate).body;
      if (gate.ended()) return rows;
      // A cover that failed to arrive shows the placeholder, never another album's cover.
      row.cover_is_placeholder = cover.empty() || !looks_like_picture(picture);
      row.cover = row.cover_is_placeholder ? placeholder_cover() : std::move(picture);
    }
    if (!gate.pass()) return rows;
    view.album_found(row);
    ++rows;
  }

  if (!gate.pass()) return rows;
  view.list_ended();
  // A later page that failed leaves the list short: said before the totals.
  if (!failure.empty()) view.tell_failure(failure);
  const std::string count = std::to_string(rows);
  view.status(G("相册列表获取完毕,共计") + count + G("个"));
  view.log(G("-----获取完毕,共计") + count + G("个") + "\r\n\r\n");
  return rows;
}

std::thread get_albums(const AlbumsCommand& command, std::shared_ptr<AlbumListView> view, ResolvedUser& user) {
  if (command.box_text.empty()) {
    view->message(G("请输入网址"), G("信息："));
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
  view->status(G("温馨提示：正在获取相册列表..."));
  view->log(G("正努力获取相册列表，耐心等待哈！") + "\r\n\r\n");
  // Whatever an earlier job left shown ends here; the new job's own start and end decide.
  view->list_ended();
  AlbumListJob job;
  job.endpoints = command.endpoints;
  job.user_id = user.user_id;
  job.pacing = command.pacing;
  job.gate = command.gate;
  job.jobs = command.jobs;
  return std::thread([job = std::move(job), view = std::move(view)] { load_album_list(job, *view); });
}

}  // namespace af
