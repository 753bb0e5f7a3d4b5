#include "ui/main_window.h"

#include <QApplication>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTabBar>
#include <QTextCursor>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <algorithm>
#include <chrono>

#include "core/paths.h"
#include "core/settings.h"
#include "core/version.h"
#include "download/downloader.h"
#include "http/cookie_store.h"
#include "service/album_list.h"
#include "service/user_page.h"
#include "ui/album_table.h"
#include "ui/browser_page.h"
#include "ui/cookie_bridge.h"
#include "ui/dialogs.h"
#include "ui/disk_writer.h"
#include "ui/page_tabs.h"
#include "ui/qt_text.h"
#include "ui/qt_window_bridge.h"

namespace af {
namespace {

// The application's own font family at the pixel size the layout asks for: the system's
// font configuration then picks a face that has the Chinese captions' characters.
QFont pixel_font(int pixels, bool bold = false) {
  QFont font = QApplication::font();
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}

// Creates a control with its given name and its place relative to its parent.
template <typename W, typename... Args>
W* place(QWidget* parent, const char* name, int left, int top, int width, int height, Args&&... args) {
  auto* widget = new W(std::forward<Args>(args)..., parent);
  widget->setObjectName(QString::fromUtf8(name));
  widget->setGeometry(left, top, width, height);
  return widget;
}

QLabel* label(QWidget* parent, const char* name, int left, int top, int width, int height,
              const QString& caption) {
  auto* widget = place<QLabel>(parent, name, left, top, width, height, caption);
  // A label taller than one line wraps its caption, as a static text control does.
  widget->setWordWrap(height >= 30);
  widget->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return widget;
}

QGroupBox* group(QWidget* parent, const char* name, int left, int top, int width, int height,
                 const QString& caption = {}) {
  return place<QGroupBox>(parent, name, left, top, width, height, caption);
}

void set_width(QWidget* widget, int width) { widget->resize(std::max(0, width), widget->height()); }
void set_left(QWidget* widget, int left) { widget->move(left, widget->y()); }
void set_height(QWidget* widget, int height) { widget->resize(widget->width(), std::max(0, height)); }
void set_top(QWidget* widget, int top) { widget->move(widget->x(), top); }
QDate as_date(const DateTime& value) { return QDate(value.year, value.month, value.day); }

// A label of one line that shows a text too long for it elided with "…" (the whole text is
// its tooltip), where a plain label would cut it off in the middle of a word.
class ElidedLabel final : public QLabel {
 public:
  using QLabel::QLabel;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QRect area = contentsRect();
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(area, static_cast<int>(alignment()),
                     fontMetrics().elidedText(text(), Qt::ElideRight, area.width()));
  }
};

// Takes the second click of a double click from a command button: the button clicked runs
// its command once, and a button that has just appeared under the pointer takes nothing.
class SingleClicks final : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject*, QEvent* event) override { return event->type() == QEvent::MouseButtonDblClick; }
};

// Heights and tops at the creation size, from which stretch_heights works.
constexpr int kTabsHeight = 601;
constexpr int kBrowserHeight = 452;
constexpr int kListGroupHeight = 426;
constexpr int kTableHeight = 339;
constexpr int kLogGroupHeight = 345;
constexpr int kLogBoxHeight = 292;
constexpr int kSettingsGroupWidth = 876;
constexpr int kSettingsGroupHeight = 544;
constexpr int kVersionGroupWidth = 484;
constexpr int kVersionResultWidth = 436;
constexpr int kProgressBarWidth = 280;
constexpr int kNameColumn = 2;
constexpr int kNameColumnWidth = 120;

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
  setFont(pixel_font(12));
  setMinimumSize(kMinimumWidth, kMinimumHeight);
  resize(kCreationWidth, kCreationHeight);
  disk_writer_ = std::make_unique<DiskWriter>();

  tabs_ = place<PageTabs>(this, "高级选择夹1", 4, 7, 924, 601);
  tabs_->tab_bar()->setFont(pixel_font(16));
  build_login_page(tabs_->add_page(QStringLiteral("  第一步：登录   ")));
  build_album_page(tabs_->add_page(QStringLiteral("    第二步：获取相册   ")));
  build_settings_page(tabs_->add_page(QStringLiteral("    第三步：设置   ")));
  tabs_->set_current_index(0);

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

void MainWindow::build_login_page(QWidget* page) {
  url_edit_ = place<QLineEdit>(page, "编辑框_url", 12, 59, 560, 32, options_.home);
  open_button_ = place<QPushButton>(page, "按钮_打开", 575, 58, 93, 32, QStringLiteral("打开"));
  albums_page_button_ =
      place<QPushButton>(page, "按钮_专辑页面", 684, 57, 96, 32, QStringLiteral("[查看用户专辑]"));
  label(page, "标签11", 13, 95, 783, 42,
        QStringLiteral(
            "关于下载别人设置了密码的相册：首先，你要有该相册访问密码，之后，在上面输入对方主页，"
            "点击查看【用户专辑】按钮。\r\n\r\n最后找到有密码的专辑点击，输入密码后，进入了有密码的相册。"
            "再进行第二步操作。\r\n"));

  // A persistent profile beside the program, so a login survives a restart.
  const QString storage = QString::fromStdString(program_file("browser"));
  profile_ = new QWebEngineProfile(QStringLiteral("albumfetcher"), this);
  profile_->setPersistentStoragePath(storage);
  profile_->setCachePath(storage + QStringLiteral("/cache"));
  profile_->setPersistentCookiesPolicy(QWebEngineProfile::AllowPersistentCookies);

  browser_ = place<QWebEngineView>(page, "超文本浏览框1", 12, 137, 896, 452);
  browser_page_ = new BrowserPage(profile_, browser_);
  browser_page_->set_new_window_handler([this](const QUrl& address) { keep_in_page(address); });
  browser_->setPage(browser_page_);
}

void MainWindow::build_album_page(QWidget* page) {
  command_group_ = group(page, "分组框_zhuye", 8, 44, 902, 59);
  // Captions are set a pixel or two below the layout's sizes where that is what it takes
  // for them to fit their boxes on one line, clear of the control beside them.
  label(command_group_, "标签1", 9, 23, 69, 24, QStringLiteral("1:用户主页："))->setFont(pixel_font(11));
  home_edit_ = place<QLineEdit>(command_group_, "编辑框_号码", 82, 18, 402, 32);
  home_edit_->setFont(pixel_font(14));
  get_albums_button_ =
      place<QPushButton>(command_group_, "按钮_获取相册封面", 519, 16, 91, 32, QStringLiteral("2：获取相册"));
  get_albums_button_->setFont(pixel_font(13));
  download_button_ =
      place<QPushButton>(command_group_, "按钮_下载选中", 640, 16, 85, 32, QStringLiteral("3：下载选中"));
  download_button_->setFont(pixel_font(12));
  pause_button_ =
      place<QPushButton>(command_group_, "按钮_暂停线程", 694, 16, 67, 32, QStringLiteral("暂停下载"));
  continue_button_ =
      place<QPushButton>(command_group_, "按钮_继续下载", 754, 16, 67, 32, QStringLiteral("继续下载"));
  end_button_ =
      place<QPushButton>(command_group_, "按钮_结束下载", 828, 16, 64, 32, QStringLiteral("结束下载"));
  pause_button_->hide();
  continue_button_->hide();
  end_button_->hide();

  folder_group_ = group(page, "分组框_weizhi", 8, 104, 902, 50);
  // At 15 px the caption ends before the save folder box begins.
  label(folder_group_, "标签_保存路径", 8, 12, 112, 32, QStringLiteral("保存位置："))
      ->setFont(pixel_font(15));
  save_folder_edit_ = place<QLineEdit>(folder_group_, "编辑框_保存位置", 84, 12, 480, 27);
  choose_folder_button_ =
      place<QPushButton>(folder_group_, "按钮_选择位置", 580, 12, 91, 32, QStringLiteral("选择存放位置"));
  open_folder_button_ =
      place<QPushButton>(folder_group_, "按钮_打开目录", 693, 12, 79, 32, QStringLiteral("打开目录"));

  list_group_ = group(page, "分组框_liebiao", 8, 164, 902, 426);
  select_all_box_ = place<QCheckBox>(list_group_, "选择框_全选", 16, 22, 46, 16, QStringLiteral("全选"));
  invert_box_ = place<QCheckBox>(list_group_, "选择框_反选", 76, 22, 46, 16, QStringLiteral("反选"));
  covers_box_ =
      place<QCheckBox>(list_group_, "选择框_有图", 142, 21, 134, 16, QStringLiteral("有封面图(影响速度)"));
  covers_box_->setChecked(true);
  QLabel* status = place<ElidedLabel>(list_group_, "标签_动态", 313, 13, 404, 24);
  status->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  status->setFont(pixel_font(12, true));
  status_label_ = status;
  QPalette blue = status->palette();
  blue.setColor(QPalette::WindowText, Qt::blue);
  status->setPalette(blue);

  album_table_ = place<AlbumTable>(list_group_, "超级列表框1", 6, 41, 638, 339);
  album_table_->setFont(pixel_font(14));
  const QStringList headings = {QStringLiteral("选择"),     QStringLiteral("序号"),
                                QStringLiteral("相册名称"), QStringLiteral("封面"),
                                QStringLiteral("图片数量"), QStringLiteral("相册ID"),
                                QStringLiteral("相册问题"), QStringLiteral("相册密码")};
  const int widths[] = {60, 40, 120, 100, 70, 80, 80, 80};
  album_table_->setColumnCount(static_cast<int>(headings.size()));
  album_table_->setHorizontalHeaderLabels(headings);
  for (int column = 0; column < headings.size(); ++column)
    album_table_->setColumnWidth(column, widths[column]);

  auto* canvas = place<QLabel>(list_group_, "画板1", 455, 107, 112, 88);
  canvas->hide();

  log_group_ = group(list_group_, "分组框_日志", 656, 36, 236, 345);
  label(log_group_, "标签3", 8, 12, 88, 19, QStringLiteral("执行操作日志："));
  log_box_ = place<QPlainTextEdit>(log_group_, "编辑框_操作记录", 12, 45, 208, 292);
  log_box_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // The program writes the log; the operator reads, selects and copies it, and Tab moves on.
  log_box_->setReadOnly(true);
  log_box_->setTabChangesFocus(true);

  // Five characters fit the label's 56 pixels on one line at 11 px.
  QLabel* progress_caption = label(list_group_, "标签_进度", 7, 384, 56, 35, QStringLiteral("下载进度："));
  progress_caption->setFont(pixel_font(11));
  auto* progress = place<QProgressBar>(list_group_, "进度条1", 74, 389, 280, 24);
  progress->setRange(0, 100);
  progress->setValue(0);
  progress->setTextVisible(false);
  progress_bar_ = progress;
  progress_row_ = {progress_caption,
                   progress,
                   label(list_group_, "标签_进度条比例", 359, 390, 41, 23, {}),
                   label(list_group_, "标签_选择了相册数量", 404, 390, 144, 23, {}),
                   label(list_group_, "标签_正在下载相册", 554, 390, 110, 23, {}),
                   label(list_group_, "标签_第多少张照片", 666, 390, 95, 23, {})};
  for (QWidget* below : progress_row_) {
    below->setProperty("creation_top", below->y());
    below->setProperty("creation_left", below->x());
  }
}

void MainWindow::build_settings_page(QWidget* page) {
  QGroupBox* outer = group(page, "分组框7", 16, 49, kSettingsGroupWidth, kSettingsGroupHeight);
  settings_group_ = outer;
  QGroupBox* options = group(outer, "分组框2", 20, 15, 320, 241, QStringLiteral("常用设置："));
  record_box_ = place<QCheckBox>(options, "选择框_下载记录", 24, 58, 240, 20,
                                 QStringLiteral("开启下载记录（已经下载过的不再下载）"));
  range_box_ = place<QCheckBox>(options, "选择框_时间段", 24, 97, 240, 16,
                                QStringLiteral("开启后，只采集下面时间段上传的图片"));
  // The album index: a hidden file per album folder with every photo's whole caption,
  // post and upload time.
  index_box_ = place<QCheckBox>(options, "选择框_相册索引", 24, 30, 290, 20,
                                QStringLiteral("保存相册索引（完整标题、微博id、上传时间）"));
  label(options, "标签2", 40, 128, 56, 32, QStringLiteral("开始时间："))->setFont(pixel_font(11));
  auto* start = place<QDateEdit>(options, "日期框_开始时间", 112, 132, 144, 24, as_date(kRangeStartDefault));
  label(options, "标签4", 40, 167, 56, 32, QStringLiteral("结束时间："))->setFont(pixel_font(11));
  auto* end = place<QDateEdit>(options, "日期框_结束时间", 112, 171, 144, 24, as_date(range_end_default()));
  for (QDateEdit* picker : {start, end}) {
    picker->setCalendarPopup(true);
    picker->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    // The calendar names months and weekdays in Chinese whatever the machine's locale.
    picker->setLocale(QLocale(QLocale::Chinese, QLocale::China));
    if (picker->calendarWidget() != nullptr) picker->calendarWidget()->setLocale(picker->locale());
  }
  label(options, "标签8", 16, 201, 288, 32,
        QStringLiteral("温馨提示：有的微博相册里写的图片总数是不准确的。"));

  // How many photos a download fetches at once, below the common settings.
  label(outer, "标签_同时下载", 44, 266, 200, 24, QStringLiteral("同时下载的照片数（1～8）："));
  jobs_box_ = place<QSpinBox>(outer, "数值框_同时下载", 250, 266, 60, 24);
  jobs_box_->setRange(1, kMostJobs);
  // The page to look through each user folder, made from the album indexes.
  gallery_box_ =
      place<QCheckBox>(outer, "选择框_相册浏览页", 44, 300, 290, 20, QStringLiteral("生成相册浏览页"));

  QGroupBox* version =
      group(outer, "分组框_版本", 359, 18, kVersionGroupWidth, 238, QStringLiteral("软件版本"));
  version_group_ = version;
  label(version, "标签_当前版本", 24, 40, 80, 24, QStringLiteral("当前版本："));
  version_label_ = label(version, "标签_banben", 110, 40, 200, 24, {});
  label(version, "标签_xinbanben", 24, 80, 80, 24, QStringLiteral("最新版本："));
  latest_version_label_ = label(version, "标签_zxbanben", 110, 80, 200, 24, {});
  version_result_label_ = label(version, "标签_banbenjieguo", 24, 120, kVersionResultWidth, 48, {});
  check_version_button_ =
      place<QPushButton>(version, "按钮_checknew", 24, 180, 120, 32, QStringLiteral("检查新版本"));
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
  set_width(url_edit_, 624);
  version_label_->setText(QString::fromLatin1(program_version()));
  // The settings file is read once; from here on the boxes and settings_ are the truth.
  settings_ = load_settings();
  {
    // Showing the stored values writes nothing.
    const QSignalBlocker quiet[] = {QSignalBlocker(record_box_), QSignalBlocker(range_box_),
                                    QSignalBlocker(index_box_), QSignalBlocker(gallery_box_),
                                    QSignalBlocker(jobs_box_)};
    record_box_->setChecked(settings_.record);
    range_box_->setChecked(settings_.range);
    index_box_->setChecked(settings_.index);
    gallery_box_->setChecked(settings_.gallery);
    jobs_box_->setValue(settings_.jobs);
  }
  gallery_box_->setEnabled(index_box_->isChecked());
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

void MainWindow::show_status(const QString& text) {
  status_label_->setText(text);
  status_label_->setToolTip(text);
}

void MainWindow::wait_for_disk_writes() {
  if (disk_writer_) disk_writer_->drain();
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
  AlbumsCommand command;
  command.endpoints.photo_base = options_.service_base.toStdString();
  command.box_text = to_gbk(typed);
  command.pacing = options_.pacing;
  command.gate = &bridge->job_gate();
  ResolvedUser user{home_page_address, user_id, user_title};
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
          home_page_address = user.home_page_address;
          user_id = user.user_id;
          user_title = user.user_title;
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
          home_page_address = address;
          user_id = id;
          fetching_home_page_ = false;
          browser_page_->set_address(from_gbk(overview));
        },
        Qt::QueuedConnection);
  });
}

void MainWindow::start_download() {
  // The user id of a fetch under way is not known yet.
  if (fetching_home_page_) return;
  // The worker keeps its own copies: a later get_albums changes only the next download.
  const std::string id = user_id;
  const std::string title = user_title;
  // The switches as they are at this click; the download never reads the settings file.
  // The pause button is shown before the next event: the second click of a double click
  // finds it in place and is not taken by it.
  if (downloader_->start_download(id, title, settings_)) show_download_buttons(DownloadState::Running);
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
  const QModelIndex index = album_table_->model()->index(row, 0);
  if (!index.isValid()) return;
  album_table_->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

void MainWindow::relayout() {
  const int w = width();
  set_width(tabs_, w - 20);
  set_width(browser_, w - 40);
  set_left(albums_page_button_, w - albums_page_button_->width() - 40);
  set_left(open_button_, w - albums_page_button_->width() - open_button_->width() - 60);
  set_width(url_edit_, open_button_->x() - 20);
  set_width(list_group_, tabs_->width() - 20);
  set_width(folder_group_, tabs_->width() - 20);
  set_width(command_group_, tabs_->width() - 20);
  set_width(album_table_, list_group_->width() - log_group_->width() - 20);
  set_left(log_group_, list_group_->width() - log_group_->width() - 5);
  set_width(home_edit_,
            command_group_->width() - get_albums_button_->width() - download_button_->width() - 200);
  set_left(get_albums_button_,
           command_group_->width() - get_albums_button_->width() - download_button_->width() - 100);
  set_left(download_button_, command_group_->width() - download_button_->width() - 80);
  set_left(pause_button_, download_button_->x());
  set_left(continue_button_, download_button_->x());
  set_left(end_button_, download_button_->x() + download_button_->width() + 10);
  set_width(save_folder_edit_, home_edit_->width());
  set_left(choose_folder_button_, get_albums_button_->x());
  set_left(open_folder_button_, download_button_->x());
}

void MainWindow::stretch_heights() {
  const int extra = std::max(height(), kMinimumHeight) - kCreationHeight;
  set_height(tabs_, kTabsHeight + extra);
  set_height(browser_, kBrowserHeight + extra);
  set_height(list_group_, kListGroupHeight + extra);
  set_height(album_table_, kTableHeight + extra);
  set_height(log_group_, kLogGroupHeight + extra);
  set_height(log_box_, kLogBoxHeight + extra);
  for (QWidget* below : progress_row_) set_top(below, below->property("creation_top").toInt() + extra);
  set_height(settings_group_, kSettingsGroupHeight + extra);
  // Narrower than at creation, the settings page's groups shrink with the tab control.
  set_width(settings_group_, tabs_->width() - 44);
  set_width(version_group_, std::min(kVersionGroupWidth, settings_group_->width() - 392));
  set_width(version_result_label_, std::min(kVersionResultWidth, version_group_->width() - 48));
}

void MainWindow::stretch_widths() {
  // Width beyond the creation width goes to the album names and the progress bar; the
  // labels right of the bar move with its end.
  const int extra = std::max(0, width() - kCreationWidth);
  album_table_->setColumnWidth(kNameColumn, kNameColumnWidth + extra);
  set_width(progress_bar_, kProgressBarWidth + extra);
  for (QWidget* after : progress_row_) {
    if (after->x() > progress_bar_->x()) set_left(after, after->property("creation_left").toInt() + extra);
  }
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  relayout();
  stretch_heights();
  stretch_widths();
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
