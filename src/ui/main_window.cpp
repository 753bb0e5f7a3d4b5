// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main_window.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTextCursor>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <chrono>

#include "core/dates.h"
#include "core/paths.h"
#include "core/settings.h"
#include "core/version.h"
#include "download/downloader.h"
#include "http/cookie_store.h"
#include "ui/album_table.h"
#include "ui/browser_page.h"
#include "ui/cookie_bridge.h"
#include "ui/dialogs.h"
#include "ui/page_tabs.h"
#include "ui/qt_window_bridge.h"
#include "util/task_thread.h"

namespace af {
namespace {

// Takes the second click of a double click from a command button: the button clicked runs
// its command once, and a button that has just appeared under the pointer takes nothing.
class SingleClicks final : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject*, QEvent* event) override { return event->type() == QEvent::MouseButtonDblClick; }
};

QDate as_qdate(const DateTime& value) { return QDate(value.year, value.month, value.day); }
DateTime as_date_time(const QDate& date) { return DateTime{date.year(), date.month(), date.day()}; }

// The earliest date a picker offers: the settings file keeps no date before it.
const QDate kEarliestDate(1970, 1, 1);

// How long closing the window waits for an ended download's worker to return.
constexpr std::chrono::milliseconds kWorkerCloseWait{2000};

// Downloaders handed over to a thread of their own because their worker was still busy
// when they were let go.
std::atomic<int> downloads_finishing{0};

}  // namespace

QString version_check_outcome(int check) {
  return QStringLiteral("第%1次检查：当前版本为 %2；制作者没有公布新版本的查询地址，没有已知的更新版本。")
      .arg(check)
      .arg(QString::fromLatin1(program_version()));
}

const ResolvedUser& MainWindow::resolved_user() const { return album_table_->albums()->user(); }

int MainWindow::downloads_still_finishing() { return downloads_finishing.load(); }

void MainWindow::let_go_of_downloader(std::shared_ptr<Downloader> downloader,
                                      std::shared_ptr<QtWindowBridge> bridge,
                                      std::chrono::milliseconds wait) {
  if (!downloader) return;
  downloader->end_download();
  // An ended worker returns at its next step; only a step that the disk holds up (a
  // flush) keeps it longer. It is never waited for without bound on this thread: it is
  // left to finish on a thread of its own, which keeps what it reports to alive. Its
  // updates are stale from now on, so none of them reaches the window.
  if (downloader->wait_for_worker(wait)) return;
  ++downloads_finishing;
  std::thread([downloader = std::move(downloader), bridge = std::move(bridge)]() mutable {
    downloader.reset();
    bridge.reset();
    --downloads_finishing;
  }).detach();
}

MainWindow::MainWindow(WindowOptions options, QWidget* parent)
    : QWidget(parent),
      options_(std::move(options)),
      dialogs_(std::make_unique<QtDialogs>(this)),
      initial_folder_(QDir::homePath()) {
  setObjectName(QStringLiteral("MainWindow"));
  setWindowTitle(QStringLiteral("Album Fetcher 微博相册下载"));
  build_pages();
  disk_writer_ = std::make_unique<TaskThread>();

  bridge_ = QtWindowBridge::create(this);
  make_downloader();
  connect_events();
  start_up();
}

MainWindow::~MainWindow() {
  // Album jobs still running stop at their next step and show nothing more; the
  // download is ended and its worker given a short while to return.
  bridge_->close();
  if (fetch_bridge_) fetch_bridge_->close();
  fetch_bridge_.reset();
  let_go_of_downloader(std::move(downloader_), bridge_, kWorkerCloseWait);
  bridge_.reset();
  // The window's own short-lived threads post to the window, so they must be done first;
  // a home-page fetch and the album list job it started end at once with the jobs' gate.
  threads_.join_all();
  // The login is kept for the next start even when no change was pending. The writes go
  // after every settings write still queued, and are done before the window is.
  delete cookie_bridge_;
  cookie_bridge_ = nullptr;
  disk_writer_->post([] { CookieStore::instance().save(); });
  disk_writer_.reset();
  // The page must go before its profile.
  delete browser_page_;
  browser_page_ = nullptr;
}

void MainWindow::connect_events() {
  connect(tabs_, &PageTabs::current_changed, this, &MainWindow::on_page_changed);
  connect(get_albums_button_, &QPushButton::clicked, this, &MainWindow::get_albums);
  connect(albums_page_button_, &QPushButton::clicked, this, &MainWindow::show_user_albums);
  connect(download_button_, &QPushButton::clicked, this, &MainWindow::start_download);
  connect(pause_button_, &QPushButton::clicked, this, &MainWindow::pause_download);
  connect(continue_button_, &QPushButton::clicked, this, &MainWindow::continue_download);
  connect(end_button_, &QPushButton::clicked, this, &MainWindow::end_download);
  connect(choose_folder_button_, &QPushButton::clicked, this, &MainWindow::choose_save_folder);
  connect(open_folder_button_, &QPushButton::clicked, this, &MainWindow::open_save_folder);
  connect_switch(record_box_, &Settings::record, record_key());
  connect_switch(range_box_, &Settings::range, range_key());
  connect_switch(index_box_, &Settings::index, index_key());
  connect_switch(gallery_box_, &Settings::gallery, gallery_key());
  connect(index_box_, &QCheckBox::toggled, gallery_box_, &QWidget::setEnabled);  // made from the index
  // The range's dates count only while it is on. Each one changed is kept and written
  // behind, and bounds the other picker: photos pass strictly between the two midnights,
  // so the end stays at least a day after the start.
  for (QDateEdit* picker : {start_date_, end_date_})
    connect(range_box_, &QCheckBox::toggled, picker, &QWidget::setEnabled);
  connect(start_date_, &QDateEdit::dateChanged, this, [this](const QDate& date) {
    settings_.range_start = as_date_time(date);
    end_date_->setMinimumDate(date.addDays(1));
    write_setting_behind(range_start_key(), date_text(settings_.range_start));
  });
  connect(end_date_, &QDateEdit::dateChanged, this, [this](const QDate& date) {
    settings_.range_end = as_date_time(date);
    start_date_->setMaximumDate(date.addDays(-1));
    write_setting_behind(range_end_key(), date_text(settings_.range_end));
  });
  connect(jobs_box_, &QSpinBox::valueChanged, this, [this](int jobs) {
    settings_.jobs = jobs;
    write_setting_behind(jobs_key(), std::to_string(jobs));
  });
  // Enter in the home-page box is "2：获取相册"; in the login page's box it opens the address,
  // and that box follows the page the browser shows (unless the operator is typing in it).
  connect(home_edit_, &QLineEdit::returnPressed, this, &MainWindow::get_albums);
  connect(url_edit_, &QLineEdit::returnPressed, this, &MainWindow::open_address);
  connect(browser_, &QWebEngineView::urlChanged, this, [this](const QUrl& address) {
    if (!address.isEmpty() && !url_edit_->hasFocus()) url_edit_->setText(address.toString());
  });
  auto* single_clicks = new SingleClicks(this);
  for (QPushButton* command : {get_albums_button_, download_button_, pause_button_, continue_button_,
                               end_button_, albums_page_button_})
    command->installEventFilter(single_clicks);
  connect(album_table_, &AlbumTable::operator_toggled, this, &MainWindow::select_checked_row);
  connect(select_all_box_, &QCheckBox::clicked, this, &MainWindow::select_all);
  connect(invert_box_, &QCheckBox::clicked, this, &MainWindow::invert_selection);
  connect(open_button_, &QPushButton::clicked, this, &MainWindow::open_address);
  connect(check_version_button_, &QPushButton::clicked, this, &MainWindow::check_version);
  // The browser's new-window request reaches keep_in_page through BrowserPage.
}

void MainWindow::start_up() {
  // Qt's own style serves as the window theme.
  version_check_started_ = false;
  url_edit_->resize(624, url_edit_->height());
  version_label_->setText(QString::fromLatin1(program_version()));
  // The settings file is read once; from here on the boxes and settings_ are the truth.
  settings_ = load_settings();
  {
    // Showing the stored values writes nothing.
    const QSignalBlocker quiet[] = {QSignalBlocker(record_box_), QSignalBlocker(range_box_),
                                    QSignalBlocker(index_box_),  QSignalBlocker(gallery_box_),
                                    QSignalBlocker(jobs_box_),   QSignalBlocker(start_date_),
                                    QSignalBlocker(end_date_)};
    record_box_->setChecked(settings_.record);
    range_box_->setChecked(settings_.range);
    index_box_->setChecked(settings_.index);
    gallery_box_->setChecked(settings_.gallery);
    jobs_box_->setValue(settings_.jobs);
    // The stored end is after the stored start, so neither date is held back by the
    // other's bound.
    const QDate start = as_qdate(settings_.range_start), end = as_qdate(settings_.range_end);
    start_date_->setDateRange(kEarliestDate, end.addDays(-1));
    end_date_->setMinimumDate(start.addDays(1));
    start_date_->setDate(start);
    end_date_->setDate(end);
  }
  gallery_box_->setEnabled(index_box_->isChecked());
  start_date_->setEnabled(range_box_->isChecked());
  end_date_->setEnabled(range_box_->isChecked());
  for (int column : {5, 6, 7}) album_table_->setColumnWidth(column, 0);
  save_folder_edit_->setText(QString::fromStdString(program_directory()));
  home_edit_->setText(options_.home_page_box);
  // The engine's requests share the login browser's cookies, both ways; a login saved by
  // an earlier run is given to the browser before its first page.
  CookieStore::instance().load();
  cookie_bridge_ = new CookieBridge(browser_cookie_store(), this);
  cookie_bridge_->set_saver([this](std::function<void()> save) { save_in_background(std::move(save)); });
  // The browser is sent home from a short-lived thread; the address change itself is
  // carried over to the window's thread. Start-up does not wait for the page.
  const QString home = options_.home;
  start_thread([this, home] {
    QMetaObject::invokeMethod(
        this, [this, home] { browser_page_->set_address(home); }, Qt::QueuedConnection);
  });
  QCoreApplication::processEvents();
}

void MainWindow::start_thread(std::function<void()> entry) {
  // Threads are joined when the window goes, so none of them outlives what it posts to;
  // those already finished are joined now, so that repeated clicks do not pile them up.
  threads_.start(std::move(entry));
}

void MainWindow::connect_switch(QCheckBox* box, bool Settings::*member, const std::string& key) {
  // The next download takes the new value at once, whatever the disk does meanwhile.
  connect(box, &QCheckBox::toggled, this, [this, member, key](bool on) {
    settings_.*member = on;
    write_setting_behind(key, on ? "1" : "0");
  });
}

void MainWindow::write_setting_behind(const std::string& key, const std::string& value) {
  // Written in change order on the writer thread; the settings file has no other writer.
  save_in_background([section = settings_section(), key, value] { write_setting(section, key, value); });
}

void MainWindow::clear_progress(bool status) {
  progress_.bar->setRange(0, 100);
  progress_.bar->setValue(0);
  for (QLabel* label : {progress_.percentage, progress_.albums_chosen, progress_.album_started, progress_.photo_counter})
    label->clear();
  if (status) show_status(QString());
}

void MainWindow::show_status(const QString& text) {
  status_label_->setText(text);
  status_label_->setToolTip(text);
}

void MainWindow::wait_for_disk_writes() {
  if (disk_writer_) disk_writer_->wait();
}

void MainWindow::save_in_background(std::function<void()> write) {
  if (disk_writer_) disk_writer_->post(std::move(write));
}

QWebEngineCookieStore* MainWindow::browser_cookie_store() const { return profile_->cookieStore(); }

void MainWindow::set_dialogs(std::unique_ptr<Dialogs> dialogs) {
  if (dialogs) dialogs_ = std::move(dialogs);
}

void MainWindow::append_log(const QString& text) {
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QTextCursor cursor(log_box_->document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(shown);
  log_box_->verticalScrollBar()->setValue(log_box_->verticalScrollBar()->maximum());
}

void MainWindow::make_downloader() {
  DownloaderOptions download_options;
  download_options.endpoints.photo_base = options_.service_base.toStdString();
  download_options.pacing = options_.pacing;
  // An ended download whose worker still finishes a step is not waited for.
  let_go_of_downloader(std::move(downloader_), bridge_, std::chrono::milliseconds(0));
  downloader_ = std::make_shared<Downloader>(*bridge_, download_options);
}

void MainWindow::set_pacing(const Pacing& pacing) {
  options_.pacing = pacing;
  if (downloader_->state() == DownloadState::Idle) make_downloader();
}

void MainWindow::on_page_changed(int page) {
  if (page != kSettingsPage || version_check_started_) return;
  check_version();
  version_check_started_ = true;
}

void MainWindow::check_version() {
  // The maker publishes no address to ask, so the check shows the running version and
  // says in words that no newer one is known: it never claims "up to date". The line
  // counts the checks, so that every click visibly answers.
  const int check = ++version_checks_;
  start_thread([this, check] {
    QMetaObject::invokeMethod(
        this,
        [this, check] {
          version_label_->setText(QString::fromLatin1(program_version()));
          latest_version_label_->setText(QStringLiteral("未知"));
          version_result_label_->setText(version_check_outcome(check));
        },
        Qt::QueuedConnection);
    ++version_checks_finished_;
  });
}

}  // namespace af
