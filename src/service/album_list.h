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
// which the window implements (posting each call to the GUI thread in call order) and
// tests implement with a recorder. All texts are GBK.
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/pacing.h"
#include "service/photo_list.h"
#include "service/user_page.h"

namespace af {

class Gate;

// One row of the album table (超级列表框1). The row is added with its check box ticked.
struct AlbumRow {
  std::string serial;   // column 1 序号: the row's 1-based position in the table
  std::string caption;  // column 2 相册名称: quotes removed, escapes decoded
  std::string photos;   // column 4 图片数量: quotes removed
  AlbumRef album;       // column 5 相册ID, shown as album_ref_text
  // Column 3 封面, present only while covers are on: the bytes of the cover picture
  // (JPEG/GIF/PNG/BMP as fetched, or placeholder_cover()). The window decodes them,
  // stretches the picture to 100 x 100 with white (255,255,255) as transparent, and
  // shows placeholder_cover() instead when the bytes cannot be decoded.
  std::optional<std::string> cover;
  bool cover_is_placeholder = false;  // the placeholder stands in (empty address, failed fetch)
};

// What the album list job reads from and shows on the window. Update calls must not block
// on the GUI thread; covers_wanted() is the only read.
class AlbumListView {
 public:
  virtual ~AlbumListView() = default;

  // The tick of 选择框_有图, read again before each album (may block briefly while the
  // GUI thread answers; the GUI thread never waits for the job, so this cannot deadlock).
  virtual bool covers_wanted() = 0;

  virtual void show_canvas(bool shown) = 0;                   // 画板1
  virtual void set_column_width(int column, int width) = 0;   // columns of 超级列表框1
  virtual void set_status(const std::string& text) = 0;       // 标签_动态
  virtual void clear_rows() = 0;                              // deletes every table row
  // A new, empty cover image list for this job (the table keeps showing the thumbnails
  // of rows it still holds until they are replaced).
  virtual void reset_covers() = 0;
  virtual void add_row(const AlbumRow& row) = 0;              // appended, ticked
  virtual void set_progress_maximum(int maximum) = 0;         // 进度条1
  virtual void set_progress_position(int position) = 0;
  virtual void set_progress_label(const std::string& text) = 0;  // 标签_进度条比例
  virtual void append_log(const std::string& text) = 0;       // 编辑框_操作记录, at the end
  // A message box with one OK button, modal for the program; shown without blocking the
  // caller. Caption "信息：" unless given.
  virtual void show_message(const std::string& text, const std::string& caption) = 0;

  // Why the user or the album list could not be had (GBK words for a person, without a
  // line end): shown as the status and as a log line unless a view does otherwise.
  virtual void tell_failure(const std::string& text) {
    set_status(text);
    append_log(text + "\r\n\r\n");
  }
};

struct AlbumListJob {
  ServiceEndpoints endpoints;
  std::string user_id;
  Pacing pacing;
  Gate* gate = nullptr;  // null: never paused or ended
};

// "http://<service>/albums/get_all?uid=<user_id>&count=6355".
std::string album_list_address(const ServiceEndpoints& endpoints, const std::string& user_id);
// The same address with "&page=<page>" after it, for the pages after the first.
std::string album_list_page_address(const ServiceEndpoints& endpoints, const std::string& user_id, int page);

// The job: fetches and parses the album list, fills the table through `view`. Returns
// the number of rows added (0 also when the "获取到相册个数为：0" box was shown, or when
// the gate ended the job). An answer that cannot be used is asked for again (fetch_list);
// when it stays unusable the job tells why (tell_failure) instead of showing the box.
// When the answer's data.total (number or text) exceeds the albums received, the next
// pages are asked for ("&page=2", 3, ...) until the total is reached or a page brings no
// new album; the rows of all pages are numbered on.
int load_album_list(const AlbumListJob& job, AlbumListView& view);

// A plain HTTP/1.0 GET of a cover address: agent "Mozilla/4.0 (compatible; MSIE 6.0;
// Windows NT 5.0)", "Accept: */*", no cookies, no cache, no proxy. The body bytes whatever
// the status; empty when the connection or request fails.
std::string fetch_cover(const std::string& address, Gate* gate = nullptr);

// The built-in placeholder picture, a JPEG of 158 x 105.
const std::string& placeholder_cover();

// True when the bytes start like a picture the window can decode (JPEG, GIF, PNG, BMP).
bool looks_like_picture(const std::string& bytes);

// The "2：获取相册" command without the window. `box_text` is the text of 编辑框_号码.
struct AlbumsCommand {
  ServiceEndpoints endpoints;
  std::string box_text;
  Pacing pacing;
  Gate* gate = nullptr;  // the home-page fetch and the job
};

// Empty box: shows "请输入网址" (caption "信息：") and returns an empty thread with `user`
// untouched. A home page that cannot be fetched, a login page and a page without a user
// id are told through tell_failure, and no album list is asked for (empty thread). Otherwise resolves the
// user on the calling thread (one page fetch), writes home_page_address, user_id and user_title into `user`,
// shows the status and log lines, hides the canvas and returns the started album list job (detach or join
// it). The job keeps `view` alive while it runs. When the gate ends during the home-page fetch, that fetch is
// aborted and an empty thread returned, with nothing shown.
std::thread get_albums(const AlbumsCommand& command, std::shared_ptr<AlbumListView> view,
                       ResolvedUser& user);

}  // namespace af
