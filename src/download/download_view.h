#pragma once
// DownloadView: what the download controller reads from and shows on the window.
//
// Reads are made by start_download on the GUI thread, once per download; the worker never
// waits for the GUI thread. Updates come from the GUI thread (the controller's own button
// changes) and from the worker thread; an implementation on a GUI toolkit posts each
// update to the GUI thread in call order and applies it there only when
// `Downloader::is_current(generation)` still holds at that moment, which drops the
// updates of a download that has been ended meanwhile. The controller guarantees that no
// update call is made for a download once end_download has returned.
//
// Texts are GBK. Update calls must not block on the GUI thread.
#include <cstdint>
#include <string>
#include <vector>

#include "download/naming.h"
#include "util/codepage.h"

namespace af {

enum class ButtonState {
  Idle,     // 按钮_下载选中 shown; 按钮_暂停线程, 按钮_继续下载, 按钮_结束下载 hidden
  Running,  // 按钮_暂停线程 and 按钮_结束下载 shown; the other two hidden
  Paused,   // 按钮_继续下载 and 按钮_结束下载 shown; the other two hidden
};

enum class DownloadLabel {
  SelectedAlbums,  // 标签_选择了相册数量
  CurrentAlbum,    // 标签_正在下载相册
  PhotoCounter,    // 标签_第多少张照片
  Percentage,      // 标签_进度条比例
};

// One ticked row of the album table (超级列表框1), in table order.
struct TickedAlbum {
  std::string serial;      // column 1, 序号
  std::string name;        // column 2, 相册名称 (untrimmed)
  std::string count_text;  // column 4, 图片数量
  AlbumRef album;          // column 5, 相册ID
};

// Identifies the download an update belongs to; kControllerGeneration marks the
// controller's own updates on the GUI thread, which are always current.
using Generation = std::uint64_t;
inline constexpr Generation kControllerGeneration = 0;
// The highest maximum and position of 进度条1.
inline constexpr int kProgressLimit = 32767;

class DownloadView {
 public:
  virtual ~DownloadView() = default;

  // Reads (GUI thread, at start_download).
  virtual std::vector<TickedAlbum> ticked_albums() = 0;
  virtual std::string save_folder_text() = 0;  // 编辑框_保存位置
  // The save folder exactly as the operator gave it, as the file system names it (UTF-8),
  // whatever characters it holds; empty: the program directory. The default reads
  // save_folder_text() as GBK, which cannot hold every character: a view that has the
  // operator's own text gives it here.
  virtual std::string save_folder_path() { return gbk_to_utf8(save_folder_text()); }
  virtual DateTime range_start() = 0;  // 日期框_开始时间
  virtual DateTime range_end() = 0;    // 日期框_结束时间

  // Updates.
  // Appended at the end of 编辑框_操作记录 (caret moved to the end, view scrolled to it).
  virtual void append_log(Generation generation, const std::string& text) = 0;
  virtual void set_label(Generation generation, DownloadLabel label, const std::string& text) = 0;
  // 进度条1. Values are already held within 0 and 32767; a position beyond the maximum is
  // drawn as a full bar.
  virtual void set_progress_maximum(Generation generation, int maximum) = 0;
  virtual void set_progress_position(Generation generation, int position) = 0;
  // Fills 进度条1 whatever its maximum (which may have been set by something other than this
  // download, such as the album list). The default sets the highest position, which a
  // view drawing a position beyond the maximum as a full bar shows as full.
  virtual void fill_progress(Generation generation) { set_progress_position(generation, kProgressLimit); }
  virtual void set_buttons(Generation generation, ButtonState state) = 0;
  // An album whose photo list could not be had in full (its log line is already written);
  // a later run completes it.
  virtual void album_failed(Generation /*generation*/) {}
  // A message box with an OK button and the default caption, shown by the GUI thread
  // without blocking the caller.
  virtual void show_message(Generation generation, const std::string& text) = 0;
  // The download has stopped because the save folder or the disk refused a write; `text`
  // names the folder and the cause. The buttons are already Idle. The default logs the
  // text and shows it in a message box.
  virtual void report_storage_failure(Generation generation, const std::string& text) {
    append_log(generation, text + "\r\n");
    show_message(generation, text);
  }
  // The download record cannot be used (`usable` false: nothing is skipped or kept for
  // this download), or a file that was no record was set aside and replaced (`usable`
  // true). Said once per download; the default logs the text.
  virtual void report_record_problem(Generation generation, const std::string& text, bool usable) {
    (void)usable;
    append_log(generation, text + "\r\n");
  }
};

}  // namespace af
