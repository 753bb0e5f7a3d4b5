// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// QtWindowBridge: the album list job's and the download's view of the window.
//
// It maps the engine's events to the window's widgets. Background threads call it; it
// never touches a widget from there. Every event is
// posted to the GUI thread (QMetaObject::invokeMethod, queued) in call order and applied
// there while the window still exists; the caller never waits, and neither does the
// one read a background thread makes, covers_wanted() (the window keeps it up to date). Download updates are
// applied only while the window's Downloader still counts their generation as current, so nothing of an ended
// download reaches the window.
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
#include <atomic>
#include <memory>
#include <string>

#include "core/gate.h"
#include "download/download_view.h"
#include "service/album_list.h"

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
  void list_started() override;
  void list_ended() override;
  void status(const std::string& text) override;
  void list_progress(int position, int maximum) override;
  void album_found(const AlbumRow& row) override;
  void log(const std::string& text) override;
  void message(const std::string& text, const std::string& caption) override;
  void tell_limit(const std::string& failure, const ServiceLimit& limit) override;

  // DownloadView: events from anywhere.
  void log(Generation generation, const std::string& text) override;
  void state_changed(Generation generation, DownloadState state) override;
  void albums_chosen(Generation generation, std::size_t albums) override;
  void album_started(Generation generation, std::size_t album) override;
  void progress(Generation generation, const PhotoProgress& progress) override;
  void album_finished(Generation generation) override;
  void download_finished(Generation generation, bool complete) override;
  void message(Generation generation, const std::string& text) override;
  // A box with the warning icon and the caption "警告：".
  void warning(Generation generation, const std::string& text) override;
  // Logged, the counter says the download stopped, and a warning box.
  void storage_failure(Generation generation, const std::string& text) override;
  // Logged, shown in the status label and in one message box.
  void service_limited(Generation generation, const ServiceLimit& limit) override;

 private:
  explicit QtWindowBridge(MainWindow* window);

  // Runs `apply` on the GUI thread after every update posted before it, if the window
  // is still there.
  template <typename F>
  void post(F apply);
  template <typename F>
  void post_download(Generation generation, F apply);

  QPointer<MainWindow> window_;
  DownloadControl jobs_;
  std::atomic<bool> covers_wanted_{false};
};

}  // namespace af
