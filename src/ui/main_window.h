// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's one window: a three-page tab control (login browser, album page,
// settings page) with every control under its given name as objectName.
//
// The window runs start-up in its constructor, maps every operator event to its
// handler, and keeps the values the handlers and background jobs share. Modal
// exchanges go through Dialogs (set_dialogs lets a test answer them in advance).
// The engine commands (get_albums ... end_download) drive the album service and the
// window's one Downloader; background work reports back through QtWindowBridge, and the
// window never waits for a background thread, except for a bounded moment when it lets go
// of an ended download (a worker still busy then finishes on a thread of its own).
#include <QString>
#include <QUrl>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/pacing.h"
#include "core/settings.h"
#include "core/thread_list.h"
#include "download/download_view.h"
#include "service/model.h"

class QCheckBox;
class QSpinBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QWebEngineCookieStore;
class QWebEngineProfile;
class QWebEngineView;

namespace af {

class AlbumTable;
class BrowserPage;
class CookieBridge;
class Dialogs;
class TaskThread;
class Downloader;
class PageTabs;
class QtWindowBridge;

struct WindowOptions {
  // Where the login browser starts; also the address box's first content.
  QString home = QStringLiteral("http://weibo.com");
  // Base address of the photo service's album and photo endpoints.
  QString service_base = QString::fromUtf8(kDefaultServiceBase.data(), kDefaultServiceBase.size());
  // What 编辑框_号码 holds at start (the demo puts its sample user there).
  QString home_page_box;
  // The waits of the album list job and the download (tests shorten them).
  Pacing pacing;
};

// What the version check shows when check number `check` of this run is done: the
// running version, and that no newer one is known.
QString version_check_outcome(int check);

class MainWindow : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kCreationWidth = 940;
  static constexpr int kCreationHeight = 638;
  static constexpr int kSettingsPage = 2;
  // The smallest size at which every control keeps its caption and none covers another.
  static constexpr int kMinimumWidth = 820;
  static constexpr int kMinimumHeight = 560;

  explicit MainWindow(WindowOptions options = {}, QWidget* parent = nullptr);
  ~MainWindow() override;

  const WindowOptions& options() const { return options_; }
  QString home_address() const { return options_.home; }
  QString service_base() const { return options_.service_base; }

  // The user the last fetch resolved, whose albums the table lists (GBK texts).
  const ResolvedUser& resolved_user() const;
  QString initial_folder() const { return initial_folder_; }
  bool version_check_started() const { return version_check_started_; }
  // How many version checks have run to their end (for the window's own tests).
  int version_checks_finished() const { return version_checks_finished_.load(); }

  PageTabs* tabs() const { return tabs_; }
  AlbumTable* album_table() const { return album_table_; }
  QWebEngineView* browser() const { return browser_; }
  BrowserPage* browser_page() const { return browser_page_; }
  QWebEngineProfile* browser_profile() const { return profile_; }
  // The browser's cookie store, for the bridge that keeps it in step with the
  // engine's store.
  QWebEngineCookieStore* browser_cookie_store() const;
  QPlainTextEdit* log_box() const { return log_box_; }
  // The widgets the album list job and the download show their progress on.
  struct ProgressWidgets {
    QLabel* canvas = nullptr;  // the cover of the album last found, while the list comes
    QProgressBar* bar = nullptr;
    QLabel* percentage = nullptr;
    QLabel* albums_chosen = nullptr;
    QLabel* album_started = nullptr;
    QLabel* photo_counter = nullptr;
  };
  const ProgressWidgets& progress_widgets() const { return progress_; }
  // Empties the progress display (bar, percentage, album and photo labels) and, with
  // `status`, the status line: what an earlier list or download left there is not this
  // one's.
  void clear_progress(bool status);
  QCheckBox* covers_box() const { return covers_box_; }

  // The download controller; its updates are shown while it counts them as current.
  const Downloader* downloader() const { return downloader_.get(); }
  // Replaces the waits of later album lists and downloads. A download under way keeps
  // its own; the new ones apply from the next start.
  void set_pacing(const Pacing& pacing);
  const Pacing& pacing() const { return options_.pacing; }

  Dialogs& dialogs() const { return *dialogs_; }
  void set_dialogs(std::unique_ptr<Dialogs> dialogs);

  // Shows, of the download, pause, continue and end buttons, the ones `state` calls for.
  // A focused button that goes hides only after the button in its place has the focus.
  void show_download_buttons(DownloadState state);

  // Whether a home page is being fetched ("2：获取相册" or "[查看用户专辑]"); until it
  // is done "[查看用户专辑]" and "3：下载选中" do nothing.
  bool fetching_home_page() const { return fetching_home_page_; }
  // Whether a fetch of "2：获取相册" (its home page or its album list) is under way.
  bool fetching_albums() const { return fetch_running_; }

  // The options of the settings page as the next download gets them.
  const Settings& settings() const { return settings_; }
  // Shows `text` in the status label, elided where it does not fit, whole as its tooltip.
  void show_status(const QString& text);

  // Waits until the settings and cookie writes handed to the writer thread so far are on
  // disk (for the window's own tests; the window itself never waits for them).
  void wait_for_disk_writes();

  // Appends to the log box; the log is never cleared during a run.
  void append_log(const QString& text);

  // The window's own short-lived threads not yet joined (finished ones are joined when
  // the next one starts, and all of them when the window goes).
  int kept_threads() const { return static_cast<int>(threads_.size()); }
  // Ended downloads of any window whose worker was still busy when the window let go of
  // them; each finishes on a thread of its own. The program need not wait for them.
  static int downloads_still_finishing();

 public slots:
  // Engine commands; wired to the album service and the download engine.
  virtual void get_albums();
  virtual void show_user_albums();
  virtual void start_download();
  virtual void pause_download();
  virtual void continue_download();
  virtual void end_download();

  // Login page and album table helpers.
  void open_address();
  // Shows `address` in the login browser in place of a new window.
  void keep_in_page(const QUrl& address);
  void select_all();
  void invert_selection();

  // Commands of the window itself.
  void choose_save_folder();
  QString browse_for_folder(const QString& title, const QString& initial);
  void open_save_folder();
  void select_checked_row(int row, bool ticked);
  void relayout();
  // Gives the height beyond the creation height to the browser, the album table and the
  // log box (and takes it from them down to the minimum height); what lies below them
  // moves with them.
  void stretch_heights();
  // Gives the width beyond the creation width to the album names and the progress bar.
  void stretch_widths();
  void on_page_changed(int page);
  void check_version();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void build_login_page(QWidget* page);
  void build_album_page(QWidget* page);
  void build_settings_page(QWidget* page);
  void build_pages();
  void connect_events();
  void start_up();
  // Keeps `box` and the settings' `member` in step, each change written behind under `key`.
  void connect_switch(QCheckBox* box, bool Settings::*member, const std::string& key);
  void write_setting_behind(const std::string& key, const std::string& value);
  void start_thread(std::function<void()> entry);
  void make_downloader();
  void save_in_background(std::function<void()> write);
  // Ends `downloader`'s download and waits up to `wait` for its worker; a worker still
  // busy then is left to finish on a thread of its own, which keeps `bridge` alive.
  static void let_go_of_downloader(std::shared_ptr<Downloader> downloader,
                                   std::shared_ptr<QtWindowBridge> bridge, std::chrono::milliseconds wait);

  WindowOptions options_;
  std::unique_ptr<Dialogs> dialogs_;
  // Where the folder chooser opened last: the save folder, or the home folder.
  QString initial_folder_;
  bool version_check_started_ = false;
  bool fetching_home_page_ = false;
  // The fetch of "2：获取相册" under way: its own bridge (closed when another address is
  // fetched, so nothing more of it shows), the box text it fetches and its number.
  std::shared_ptr<QtWindowBridge> fetch_bridge_;
  bool fetch_running_ = false;
  QString fetch_text_;
  int fetch_serial_ = 0;
  Settings settings_;
  int version_checks_ = 0;
  std::unique_ptr<TaskThread> disk_writer_;  // the settings and cookie writes, in click order
  std::atomic<int> version_checks_finished_{0};
  ThreadList threads_;
  std::shared_ptr<QtWindowBridge> bridge_;
  // Shared so that a download still finishing when the window goes can outlive it.
  std::shared_ptr<Downloader> downloader_;
  CookieBridge* cookie_bridge_ = nullptr;

  PageTabs* tabs_ = nullptr;
  QWebEngineProfile* profile_ = nullptr;
  BrowserPage* browser_page_ = nullptr;
  QWebEngineView* browser_ = nullptr;
  QLineEdit* url_edit_ = nullptr;
  QPushButton* open_button_ = nullptr;
  QPushButton* albums_page_button_ = nullptr;

  QGroupBox* command_group_ = nullptr;
  QLineEdit* home_edit_ = nullptr;
  QPushButton* get_albums_button_ = nullptr;
  QPushButton* download_button_ = nullptr;
  QPushButton* pause_button_ = nullptr;
  QPushButton* continue_button_ = nullptr;
  QPushButton* end_button_ = nullptr;
  QGroupBox* folder_group_ = nullptr;
  QLineEdit* save_folder_edit_ = nullptr;
  QPushButton* choose_folder_button_ = nullptr;
  QPushButton* open_folder_button_ = nullptr;
  QGroupBox* list_group_ = nullptr;
  QCheckBox* select_all_box_ = nullptr;
  QCheckBox* invert_box_ = nullptr;
  QCheckBox* covers_box_ = nullptr;
  AlbumTable* album_table_ = nullptr;
  QGroupBox* log_group_ = nullptr;
  QPlainTextEdit* log_box_ = nullptr;
  // The progress row under the table, which moves down when the window grows.
  std::vector<QWidget*> progress_row_;
  QGroupBox* settings_group_ = nullptr;
  QGroupBox* version_group_ = nullptr;

  QCheckBox* record_box_ = nullptr;
  QCheckBox* range_box_ = nullptr;
  QDateEdit* start_date_ = nullptr;  // the upload-time bounds, while the range is on
  QDateEdit* end_date_ = nullptr;
  QCheckBox* index_box_ = nullptr;
  QCheckBox* gallery_box_ = nullptr;
  QSpinBox* jobs_box_ = nullptr;  // how many photos a download fetches at once
  QLabel* version_label_ = nullptr;
  QLabel* latest_version_label_ = nullptr;
  QLabel* version_result_label_ = nullptr;
  QLabel* status_label_ = nullptr;
  ProgressWidgets progress_;
  QPushButton* check_version_button_ = nullptr;
};

}  // namespace af
