#pragma once
// QtWindowBridge: the album list job's and the download's view of the window.
//
// Background threads call it; it never touches a widget from there. Every update is
// posted to the GUI thread (QMetaObject::invokeMethod, queued) in call order and applied
// there while the window still exists; the caller never waits. The one read a background
// thread makes, covers_wanted(), asks the GUI thread with a blocking queued call (the GUI
// thread never waits for a job, so this cannot deadlock). Download updates are applied
// only while the window's Downloader still counts their generation as current, so nothing
// of an ended download reaches the window.
//
//   auto bridge = QtWindowBridge::create(window);   // GUI thread
//   std::thread job = af::get_albums(command, bridge, user);
//   af::Downloader downloader(*bridge, options);
//
// Album jobs share ownership (they keep the bridge alive while they run); the object is
// deleted on the GUI thread once the last owner lets go.
#include <QImage>
#include <QObject>
#include <QPointer>
#include <memory>
#include <string>

#include "core/gate.h"
#include "download/download_view.h"
#include "service/album_list.h"

class QLabel;
class QProgressBar;

namespace af {

class MainWindow;

// The thumbnail of a cover: the picture decoded from `bytes` (the placeholder cover when
// they cannot be decoded), stretched to 100 x 100, white (255,255,255) made transparent.
QImage cover_thumbnail(const std::string& bytes);

class QtWindowBridge final : public QObject, public AlbumListView, public DownloadView {
  Q_OBJECT
 public:
  static std::shared_ptr<QtWindowBridge> create(MainWindow* window);

  // The gate handed to album list jobs: ended when the window closes, so a job that is
  // still running stops at its next step instead of outliving the window's purpose.
  Gate& job_gate() { return jobs_; }
  // The window is going: ends the album jobs and applies nothing more.
  void close();

  // AlbumListView
  bool covers_wanted() override;
  void show_canvas(bool shown) override;
  void set_column_width(int column, int width) override;
  void set_status(const std::string& text) override;
  void clear_rows() override;
  void reset_covers() override;
  void add_row(const AlbumRow& row) override;
  void set_progress_maximum(int maximum) override;
  void set_progress_position(int position) override;
  void set_progress_label(const std::string& text) override;
  void append_log(const std::string& text) override;
  void show_message(const std::string& text, const std::string& caption) override;

  // DownloadView: reads on the GUI thread, updates from anywhere.
  std::vector<TickedAlbum> ticked_albums() override;
  std::string save_folder_text() override;
  std::string save_folder_path() override;
  DateTime range_start() override;
  DateTime range_end() override;
  void append_log(Generation generation, const std::string& text) override;
  void set_label(Generation generation, DownloadLabel label, const std::string& text) override;
  void set_progress_maximum(Generation generation, int maximum) override;
  void set_progress_position(Generation generation, int position) override;
  void set_buttons(Generation generation, ButtonState state) override;
  void show_message(Generation generation, const std::string& text) override;

 private:
  explicit QtWindowBridge(MainWindow* window);

  // Runs `apply` on the GUI thread after every update posted before it, if the window
  // is still there.
  template <typename F>
  void post(F apply);
  template <typename F>
  void post_download(Generation generation, F apply);
  void show_bar();

  QPointer<MainWindow> window_;
  DownloadControl jobs_;
  // The progress bar as the engine sees it (GUI thread only): shown as min(position,
  // maximum); a maximum of 0 is shown as a full bar.
  int bar_maximum_ = 100;
  int bar_position_ = 0;
};

}  // namespace af
