// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The album list job: from a user id to the rows of the album table.
//
//   auto view = std::make_shared<MyAlbumListView>(...);
//   ResolvedUser user;
//   AlbumsCommand command{endpoints, box_text, Pacing{}, nullptr};
//   std::thread job = get_albums(command, view, user);   // "2：获取相册"
//   if (job.joinable()) job.detach();
//
// load_album_list runs on its own thread and reports everything through AlbumListView,
// which each front end implements (the window posts each event to the GUI thread in call
// order) and tests implement with a recorder. All texts are GBK.
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/pacing.h"
#include "service/photo_list.h"
#include "service/service_limit.h"
#include "service/user_page.h"

namespace af {

class Gate;

// One album of the list, as the album table shows it. The row is added with its check box
// ticked.
struct AlbumRow {
  int serial = 0;         // 序号: the row's 1-based position in the list
  std::string caption{};  // 相册名称: escapes decoded
  PhotoCount photos{};    // 图片数量
  AlbumRef album{};       // 相册ID, shown as album_ref_text
  // 封面, present only while covers are on: the bytes of the cover picture
  // (JPEG/GIF/PNG/BMP as fetched, or placeholder_cover()). A front end that cannot decode
  // them shows placeholder_cover() instead.
  std::optional<std::string> cover{};
  bool cover_is_placeholder = false;  // the placeholder stands in (empty address, failed fetch)
};

// What the album list job reads from its front end, and the events it reports. Event calls
// must not block on the GUI thread; covers_wanted() is the only read.
class AlbumListView {
 public:
  virtual ~AlbumListView() = default;

  // Whether covers are wanted, read again before each album, from the job's cover lanes
  // when several covers are fetched at once (possibly at the same time). It must not wait
  // for the GUI thread (which waits for the job when the window goes).
  virtual bool covers_wanted() = 0;

  // A list job begins: every row an earlier job found is gone.
  virtual void list_started() = 0;
  // No list job is under way: before a job starts, and after its last album.
  virtual void list_ended() {}
  virtual void status(const std::string& text) = 0;  // what the job is doing now
  // Album `position` of the `maximum` the list holds is being looked at (from 1).
  virtual void list_progress(int position, int maximum) = 0;
  virtual void album_found(const AlbumRow& row) = 0;  // appended, ticked
  virtual void log(const std::string& text) = 0;      // lines for the log, CR LF ended
  // A message for the operator, with the caption "信息：" unless given; shown without
  // blocking the caller.
  virtual void message(const std::string& text, const std::string& caption) = 0;

  // Why the user or the album list could not be had (GBK words for a person, without a
  // line end): shown as the status and as a log line unless a view does otherwise.
  virtual void tell_failure(const std::string& text) {
    status(text);
    log(text + "\r\n\r\n");
  }
  // The same, when the cause is a limit of the service on this machine that outlasted the
  // tries (see service_limit.h): the job has stopped asking. The default tells the failure,
  // logs the limit's text and shows it as a message.
  virtual void tell_limit(const std::string& failure, const ServiceLimit& limit);
};

struct AlbumListJob {
  ServiceEndpoints endpoints;
  std::string user_id;
  Pacing pacing;
  Gate* gate = nullptr;  // null: never paused or ended
  int jobs = 1;          // covers fetched at once (同时下载), 1 to kMostJobs
};

// "http://<service>/albums/get_all?uid=<user_id>&count=6355".
std::string album_list_address(const ServiceEndpoints& endpoints, const std::string& user_id);
// The same address with "&page=<page>" after it, for the pages after the first.
std::string album_list_page_address(const ServiceEndpoints& endpoints, const std::string& user_id, int page);

// The job: fetches and parses the album list, reports each album through `view`. Returns
// the number of rows added (0 also when the "获取到相册个数为：0" box was shown, or when
// the gate ended the job). With `jobs` above 1, that many lanes wait and fetch the covers
// of the next albums at once, and the rows are still reported in list order. An answer that cannot be used is asked for again (fetch_list);
// when it stays unusable the job tells why (tell_failure) instead of showing the box.
// When the answer's data.total (number or text) exceeds the albums received, the next
// pages are asked for ("&page=2", 3, ...) until the total is reached or a page brings no
// new album; the rows of all pages are numbered on.
int load_album_list(const AlbumListJob& job, AlbumListView& view);

// The built-in placeholder picture, a JPEG of 158 x 105.
const std::string& placeholder_cover();

// True when the bytes start like a picture the window can decode (JPEG, GIF, PNG, BMP).
bool looks_like_picture(const std::string& bytes);

// The "2：获取相册" command without the window. `box_text` is the address as typed.
struct AlbumsCommand {
  ServiceEndpoints endpoints;
  std::string box_text;
  Pacing pacing;
  Gate* gate = nullptr;  // the home-page fetch and the job
  int jobs = 1;          // the job's covers fetched at once
};

// Empty box: shows "请输入网址" (caption "信息：") and returns an empty thread with `user`
// untouched. A home page that cannot be fetched, a login page and a page without a user
// id are told through tell_failure, and no album list is asked for (empty thread). Otherwise resolves the
// user on the calling thread (one page fetch), writes home_page_address, user_id and user_title into `user`,
// shows the status and log lines, reports list_ended and returns the started album list job (detach or join
// it). The job keeps `view` alive while it runs. When the gate ends during the home-page fetch, that fetch is
// aborted and an empty thread returned, with nothing shown.
std::thread get_albums(const AlbumsCommand& command, std::shared_ptr<AlbumListView> view,
                       ResolvedUser& user);

}  // namespace af
