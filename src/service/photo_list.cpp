// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/photo_list.h"

#include "core/gate.h"
#include "http/fetch.h"
#include "service/list_answer.h"
#include "util/codepage.h"
#include "util/escapes.h"
#include "util/hash_table.h"
#include "util/text.h"

namespace af {
namespace {

constexpr int kPageSize = 100;
constexpr int kTries = 10;

}  // namespace

std::string photo_list_address(const ServiceEndpoints& endpoints, const std::string& user_id,
                               const AlbumRef& album, int page, const std::string& rnd) {
  return endpoints.photo_base + kPhotoListPath + "?uid=" + user_id + "&album_id=" + album.id +
         "&count=" + std::to_string(kPageSize) + "&page=" + std::to_string(page) + "&type=" + album.type +
         "&__rnd=" + rnd;
}

std::string album_failure_line(const std::string& album_name, const WalkFailure& failure) {
  return G("相册《") + album_name + G("》第") + std::to_string(failure.page) + G("页照片列表获取失败：") +
         failure.cause + G("。本相册没有下载完，再次下载时会补上缺少的照片") + "\r\n\r\n";
}

bool walk_album(const AlbumWalk& walk,
                const std::function<bool(const PhotoEntry&, std::int64_t position)>& on_photo) {
  OpenGate open;
  Gate& gate = walk.gate ? *walk.gate : open;
  // The stated count only sets how many pages are asked for at least: it is often wrong,
  // and some albums come in pages shorter than 100. Within those pages every item is handed
  // on, so that on full pages the running number stays (page - 1) x 100 + index. Past them
  // the walk goes on while a page brings photos not seen before (only those are handed on),
  // and stops after the first page (stated or not) that brings none.
  const std::int64_t stated_pages = walk.photos.number / kPageSize + 1;
  // The photos seen so far, as hashes of their id and picture: 16 bytes or so a photo.
  HashTable seen(false);
  std::int64_t position = 0;
  bool brought_new = true;
  for (std::int64_t page = 1; page <= stated_pages || brought_new; ++page) {
    const bool stated = page <= stated_pages;
    const std::string address = photo_list_address(walk.endpoints, walk.user_id, walk.album,
                                                   static_cast<int>(page), random_fraction_text());
    ListFetch fetch;
    fetch.pacing = walk.pacing;
    fetch.gate = walk.gate;
    fetch.list_member = "photo_list";
    fetch.tries = kTries;
    fetch.slowdown = walk.slowdown;
    const ListAnswer answer = fetch_list(address, fetch);
    if (gate.ended() || answer.problem == ListProblem::Ended) return false;
    if (!answer.usable) {
      if (walk.failure) *walk.failure = WalkFailure{page, answer.cause, answer.problem, answer.retry_after_ms};
      return true;
    }
    brought_new = false;
    for (const PhotoEntry& entry : answer.photos) {
      const bool is_new = seen.put(text_hash(entry.photo_id + '\n' + entry.pic_name));
      brought_new = brought_new || is_new;
      // Past the stated pages a repeat (the service giving its last page again) is not
      // handed on twice.
      if (!stated && !is_new) continue;
      ++position;
      if (!gate.pass()) return false;
      if (!on_photo(entry, position)) return true;
      if (gate.ended()) return false;
    }
  }
  return true;
}

}  // namespace af
