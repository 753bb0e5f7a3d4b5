// SPDX-License-Identifier: GPL-3.0-or-later
// MainWindow's commands: the album list, the download and the album table's ticks.
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWebEngineView>
#include <thread>

#include "core/paths.h"
#include "download/downloader.h"
#include "service/album_list.h"
#include "service/user_page.h"
#include "ui/album_table.h"
#include "ui/browser_page.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"
#include "ui/qt_text.h"
#include "ui/qt_window_bridge.h"

namespace af {

void MainWindow::get_albums() {
  const QString typed = home_edit_->text();
  // The address whose fetch is under way, asked again (an impatient second click), is the
  // same command: it is not taken twice. The user page of "[查看用户专辑]" comes first.
  if (fetch_running_ && typed == fetch_text_) return;
  if (fetching_home_page_ && !fetch_running_) return;
  // Another address ends the fetch under way: nothing more of it shows. The table is
  // emptied now, so that its rows always belong to the address in the box, also when the
  // new fetch fails.
  if (fetch_bridge_) fetch_bridge_->close();
  auto bridge = QtWindowBridge::create(this);
  fetch_bridge_ = bridge;
  album_table_->remove_all_rows();
  // Nor do the labels of a download of the rows that went.
  if (downloader_->state() == DownloadState::Idle) clear_progress(false);
  AlbumsCommand command;
  command.endpoints.photo_base = options_.service_base.toStdString();
  command.box_text = to_gbk(typed);
  command.pacing = options_.pacing;
  command.gate = &bridge->job_gate();
  command.jobs = settings_.jobs;
  ResolvedUser user = resolved_user();
  if (command.box_text.empty()) {
    // Nothing to fetch: only the message.
    fetch_running_ = fetching_home_page_ = false;
    af::get_albums(command, bridge, user);
    return;
  }
  // The home page is fetched on a thread of the window's, which then waits for the album
  // list job it started, so that the window's end also waits for the job (the fetch's gate
  // ends both at once). The values reach the window on its own thread, unless another
  // fetch has taken this one's place meanwhile.
  const int serial = ++fetch_serial_;
  fetch_running_ = fetching_home_page_ = true;
  fetch_text_ = typed;
  start_thread([this, command, user, bridge, serial]() mutable {
    std::thread job = af::get_albums(command, bridge, user);
    bridge.reset();
    QMetaObject::invokeMethod(
        this,
        [this, user, serial] {
          if (serial != fetch_serial_) return;
          album_table_->albums()->set_user(user);
          fetching_home_page_ = false;
        },
        Qt::QueuedConnection);
    if (job.joinable()) job.join();
    QMetaObject::invokeMethod(
        this, [this, serial] { fetch_running_ = fetch_running_ && serial != fetch_serial_; },
        Qt::QueuedConnection);
  });
}

void MainWindow::show_user_albums() {
  if (fetching_home_page_) return;
  fetching_home_page_ = true;
  ServiceEndpoints endpoints;
  endpoints.photo_base = options_.service_base.toStdString();
  const std::string typed = to_gbk(url_edit_->text());
  Gate* gate = &bridge_->job_gate();
  // The fetch runs off the window's thread and ends at once when the window goes; the
  // user id and the overview address come back to the window's thread.
  start_thread([this, endpoints, typed, gate] {
    const std::string address = normalize_address(typed);
    const std::string id = resolve_user(address, gate).user_id;
    const std::string overview = album_overview_address(endpoints, id);
    QMetaObject::invokeMethod(
        this,
        [this, address, id, overview] {
          ResolvedUser shown = resolved_user();
          shown.home_page_address = address;
          shown.user_id = id;
          album_table_->albums()->set_user(std::move(shown));
          fetching_home_page_ = false;
          browser_page_->set_address(from_gbk(overview));
        },
        Qt::QueuedConnection);
  });
}

void MainWindow::start_download() {
  // The user id of a fetch under way is not known yet.
  if (fetching_home_page_) return;
  // The download takes everything as it is at this click: a later get_albums, tick, date or
  // switch changes only the next one.
  // The box's own text, not its GBK form: a folder may hold any character.
  DownloadRequest request =
      download_request(settings_, {}, {settings_.range_start, settings_.range_end}, resolved_user(),
                       album_table_->albums()->albums(), save_folder_edit_->text().toStdString());
  // The pause button is shown before the next event: the second click of a double click
  // finds it in place and is not taken by it.
  if (downloader_->start(std::move(request))) {
    show_download_buttons(DownloadState::Running);
    clear_progress(true);
  }
}

void MainWindow::pause_download() {
  if (downloader_->state() != DownloadState::Running) return;
  downloader_->pause_download();
  show_status(from_gbk(paused_text()));
}

void MainWindow::continue_download() {
  if (downloader_->state() != DownloadState::Paused) return;
  downloader_->continue_download();
  show_status(from_gbk(continued_text()));
}

void MainWindow::end_download() {
  if (downloader_->state() == DownloadState::Idle) return;
  downloader_->end_download();
  show_status(from_gbk(ended_text(downloader_->saved_photos())));
  progress_.photo_counter->setText(QStringLiteral("已结束下载"));
}

void MainWindow::open_address() {
  // The typed text goes to the browser as it is; the browser reads it as an address bar
  // does.
  browser_page_->set_address(url_edit_->text());
}

void MainWindow::keep_in_page(const QUrl& address) { browser_->setUrl(address); }

void MainWindow::select_all() {
  if (!select_all_box_->isChecked()) return;
  invert_box_->setChecked(false);
  for (int row = 0; row < album_table_->rowCount(); ++row) album_table_->set_row_ticked(row, true);
}

void MainWindow::invert_selection() {
  if (!invert_box_->isChecked()) return;
  select_all_box_->setChecked(false);
  for (int row = 0; row < album_table_->rowCount(); ++row) {
    album_table_->set_row_ticked(row, !album_table_->row_ticked(row));
  }
}

void MainWindow::choose_save_folder() {
  // The chooser opens where the photos go now; the home folder when the box names none.
  const QString current = save_folder_edit_->text();
  initial_folder_ = !current.isEmpty() && QFileInfo(current).isDir() ? current : QDir::homePath();
  const QString path = browse_for_folder(QStringLiteral("选择相册的存放位置"), initial_folder_);
  // A cancel keeps whatever folder the box held; an empty box falls back to the
  // program directory where the folder is used.
  if (!path.isEmpty()) save_folder_edit_->setText(path);
}

QString MainWindow::browse_for_folder(const QString& title, const QString& initial) {
  const QString chosen = trim_blanks(dialogs_->choose_folder(title, initial));
  return chosen.isEmpty() ? QString() : folder_path_form(chosen);
}

void MainWindow::open_save_folder() {
  QString path = save_folder_edit_->text();
  if (path.isEmpty()) path = QString::fromStdString(program_directory());
  // A folder that is not there is said in words; the file manager's own failure is
  // reported by the dialogs when it comes.
  if (!QFileInfo(path).isDir()) {
    dialogs_->show_notice(cannot_open_folder_text(path), QStringLiteral("信息："));
    return;
  }
  dialogs_->open_folder(path);
}

void MainWindow::show_download_buttons(DownloadState state) {
  struct Shown {
    QPushButton* button;
    bool shown;
  };
  const Shown buttons[] = {{download_button_, state == DownloadState::Idle},
                           {pause_button_, state == DownloadState::Running},
                           {continue_button_, state == DownloadState::Paused},
                           {end_button_, state != DownloadState::Idle}};
  // At the end of a download the focus goes to the album table: on "3：下载选中" one key
  // would start the whole download again.
  QWidget* in_place = state == DownloadState::Idle      ? static_cast<QWidget*>(album_table_)
                      : state == DownloadState::Running ? pause_button_
                                                        : continue_button_;
  QWidget* focused = focusWidget();
  bool focus_goes = false;
  for (const Shown& b : buttons) {
    if (b.shown)
      b.button->show();
    else if (b.button == focused)
      focus_goes = true;
  }
  // Hiding a focused button would pass the focus on along the tab chain (into the save
  // folder box, whose text a key would replace); the button in its place takes it first.
  if (focus_goes || (state == DownloadState::Idle && focused == download_button_))
    in_place->setFocus(Qt::OtherFocusReason);
  for (const Shown& b : buttons) {
    if (!b.shown) b.button->hide();
  }
}

void MainWindow::select_checked_row(int row, bool) {
  const QModelIndex index = album_table_->model()->index(row, AlbumListModel::kCheck);
  if (!index.isValid()) return;
  album_table_->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

}  // namespace af
