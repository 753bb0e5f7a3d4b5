// SPDX-License-Identifier: GPL-3.0-or-later
#include "service/album_list.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "core/gate.h"
#include "core/settings.h"
#include "http/cookie_store.h"
#include "http/fetch.h"
#include "http/http_session.h"
#include "service/list_answer.h"
#include "util/codepage.h"
#include "util/text.h"

namespace af {
namespace {

// Fetches the album list, and its further pages while data.total says more albums exist,
// into `albums` (in answer order, repeats left out). `failure` tells a page that stayed
// unusable, and `limit` a limit of the service that outlasted its tries. False when the
// gate ended the job.
bool fetch_album_pages(const AlbumListJob& job, Gate& gate, std::vector<ListedAlbum>& albums,
                       std::string& failure, std::optional<ServiceLimit>& limit) {
  constexpr int kLongestList = 10000;  // pages; a total that never comes true ends somewhere
  std::set<std::string> seen;
  ListFetch fetch;
  fetch.pacing = job.pacing;
  fetch.gate = job.gate;
  fetch.list_member = "album_list";
  Slowdown slowdown(job.pacing);  // the later pages ask less while the service limits
  fetch.slowdown = &slowdown;
  std::int64_t total = 0;
  for (int page = 1; page <= kLongestList; ++page) {
    if (!gate.pass()) return false;
    const std::string address = page == 1 ? album_list_address(job.endpoints, job.user_id)
                                          : album_list_page_address(job.endpoints, job.user_id, page);
    ListAnswer answer = fetch_list(address, fetch);
    if (gate.ended() || answer.problem == ListProblem::Ended) return false;
    if (!gate.wait_for(job.pacing.after_album_list)) return false;
    if (!answer.usable) {
      failure = page == 1 ? G("相册列表获取失败：") + answer.cause
                          : G("相册列表第") + std::to_string(page) + G("页获取失败：") + answer.cause;
      if (limits_this_machine(answer.problem)) limit = lasting_limit(answer.problem, answer.retry_after_ms);
      return true;
    }
    bool brought_new = false;
    for (ListedAlbum& album : answer.album_page.albums) {
      // Within the first answer every album counts, as it always did; later pages add only
      // albums not seen before.
      if (!seen.insert(album.album.id).second && page > 1) continue;
      brought_new = true;
      albums.push_back(std::move(album));
    }
    if (page == 1) total = answer.album_page.total;
    if (!brought_new || static_cast<std::int64_t>(albums.size()) >= total) return true;
  }
  return true;
}

// What an album brings to its row once its wait is over and its cover is in.
struct PreparedAlbum {
  bool skipped = false;  // no photos: no row
  std::optional<std::string> cover;
  bool cover_is_placeholder = false;
};

// The wait before the album, then its cover when covers are wanted. Nothing when the gate
// ended the job meanwhile.
std::optional<PreparedAlbum> prepare_album(const AlbumListJob& job, Gate& gate, AlbumListView& view,
                                           const ListedAlbum& album) {
  PreparedAlbum prepared;
  if (!gate.wait_for(job.pacing.per_album)) return std::nullopt;
  if (album.photos.text == "0") {
    prepared.skipped = true;
    return prepared;
  }
  if (!gate.pass()) return std::nullopt;
  if (view.covers_wanted()) {
    std::string picture = album.cover.empty() ? placeholder_cover() : fetch_cover(album.cover, job.gate).body;
    if (gate.ended()) return std::nullopt;
    // A cover that failed to arrive shows the placeholder, never another album's cover.
    prepared.cover_is_placeholder = album.cover.empty() || !looks_like_picture(picture);
    prepared.cover = prepared.cover_is_placeholder ? placeholder_cover() : std::move(picture);
  }
  return prepared;
}

// Several albums prepared at once, each lane taking the next album not yet taken, with the
// album's wait before each of its own requests, so the service sees at most `lanes` cover
// requests at a time. The job takes the albums back in list order. An end of the gate
// stops every lane at its next step (a cover under way is aborted); the lanes are joined
// when this goes.
class CoverLanes {
 public:
  CoverLanes(const AlbumListJob& job, Gate& gate, AlbumListView& view, const std::vector<ListedAlbum>& albums,
             int lanes)
      : job_(job), gate_(gate), view_(view), albums_(albums), prepared_(albums.size()) {
    try {
      for (int l = 0; l < lanes; ++l) threads_.emplace_back([this] { run(); });
    } catch (...) {
      stop();
      throw;
    }
  }
  ~CoverLanes() { stop(); }
  CoverLanes(const CoverLanes&) = delete;
  CoverLanes& operator=(const CoverLanes&) = delete;

  // Album `index` once a lane has prepared it; nothing when the job ended first.
  std::optional<PreparedAlbum> take(std::size_t index) {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return prepared_[index] || ended_; });
    return std::move(prepared_[index]);
  }

 private:
  void run() {
    for (;;) {
      std::size_t index = 0;
      {
        std::lock_guard lock(mutex_);
        if (ended_ || next_ >= albums_.size()) return;
        index = next_++;
      }
      std::optional<PreparedAlbum> prepared = prepare_album(job_, gate_, view_, albums_[index]);
      std::lock_guard lock(mutex_);
      if (prepared) {
        prepared_[index] = std::move(prepared);
      } else {
        ended_ = true;
      }
      ready_.notify_all();
    }
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      ended_ = true;
    }
    for (std::thread& t : threads_) t.join();
  }

  const AlbumListJob& job_;
  Gate& gate_;
  AlbumListView& view_;
  const std::vector<ListedAlbum>& albums_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<std::optional<PreparedAlbum>> prepared_;  // by list position
  std::size_t next_ = 0;                                // the next album a lane takes
  bool ended_ = false;
  std::vector<std::thread> threads_;
};

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

void AlbumListView::tell_limit(const std::string& failure, const ServiceLimit& limit) {
  tell_failure(failure);
  log(limit.text + "\r\n\r\n");
  message(limit.text, G("信息："));
}

namespace {

// Without the service's login cookie the list holds only the albums everyone may see:
// said, since nothing in the answer shows what is left out.
void tell_when_signed_out(const AlbumListJob& job, AlbumListView& view) {
  const std::string host = url_host(job.endpoints.photo_base, false);
  for (const Cookie& cookie : CookieStore::instance().all_cookies())
    if (cookie.name == "SUB" && cookie_reaches(cookie, host)) return;
  view.log(G("当前没有登录微博，只列出了公开的相册：要列出登录后才能看到的相册，") + login_advice() + "\r\n");
}

}  // namespace

int load_album_list(const AlbumListJob& job, AlbumListView& view) {
  OpenGate open;
  Gate& gate = job.gate ? *job.gate : open;
  if (!gate.pass()) return 0;
  view.list_started();
  view.status(G("相册获取中，耐心等待..."));

  std::vector<ListedAlbum> listed;
  std::string failure;
  std::optional<ServiceLimit> limit;
  if (!fetch_album_pages(job, gate, listed, failure, limit)) return 0;
  const auto tell = [&] {
    if (limit)
      view.tell_limit(failure, *limit);
    else
      view.tell_failure(failure);
  };
  const int n = static_cast<int>(listed.size());
  if (n == 0) {
    if (!gate.pass()) return 0;
    if (failure.empty()) {
      tell_when_signed_out(job, view);
      view.message(G("获取到相册个数为：0"), G("温馨提示"));
    } else {
      tell();
    }
    return 0;
  }

  if (!gate.pass()) return 0;
  const int lanes = std::min(clamp_jobs(job.jobs), n);
  std::optional<CoverLanes> ahead;
  if (lanes > 1) ahead.emplace(job, gate, view, listed, lanes);
  int rows = 0;
  for (int i = 1; i <= n; ++i) {
    if (!gate.pass()) return rows;
    view.list_progress(i, n);
    const ListedAlbum& album = listed[static_cast<std::size_t>(i - 1)];
    std::optional<PreparedAlbum> prepared =
        ahead ? ahead->take(static_cast<std::size_t>(i - 1)) : prepare_album(job, gate, view, album);
    if (!prepared) return rows;
    if (prepared->skipped) continue;

    AlbumRow row;
    row.serial = rows + 1;
    row.caption = album.caption;
    row.photos = album.photos;
    row.album = album.album;
    row.cover = std::move(prepared->cover);
    row.cover_is_placeholder = prepared->cover_is_placeholder;
    if (!gate.pass()) return rows;
    view.album_found(row);
    ++rows;
  }

  if (!gate.pass()) return rows;
  view.list_ended();
  // A later page that failed leaves the list short: said before the totals.
  if (!failure.empty()) tell();
  tell_when_signed_out(job, view);
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
    if (limits_this_machine(page.limit))
      view->tell_limit(page.failure, lasting_limit(page.limit, page.retry_after_ms));
    else
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
