// SPDX-License-Identifier: GPL-3.0-or-later
// MainWindow's pages: their controls at their places, and how they follow the window's size.
#include <QApplication>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QDateEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <algorithm>

#include "core/paths.h"
#include "ui/album_table.h"
#include "ui/browser_page.h"
#include "ui/main_window.h"
#include "ui/page_tabs.h"

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
// The canvas shows the cover of the album being read, in the table's own area right of its
// columns (which end 470 pixels in with covers shown, whatever the window's width): clear
// of the vertical scroll bar and just below the headings.
constexpr int kCanvasWidth = 112;
constexpr int kCanvasHeight = 88;
constexpr int kCanvasRightMargin = 24;
constexpr int kCanvasTopMargin = 32;

int canvas_left(const QWidget* table) { return table->x() + table->width() - kCanvasRightMargin - kCanvasWidth; }

}  // namespace

void MainWindow::build_pages() {
  setFont(pixel_font(12));
  setMinimumSize(kMinimumWidth, kMinimumHeight);
  resize(kCreationWidth, kCreationHeight);
  tabs_ = place<PageTabs>(this, "高级选择夹1", 4, 7, 924, 601);
  tabs_->tab_bar()->setFont(pixel_font(16));
  build_login_page(tabs_->add_page(QStringLiteral("  第一步：登录   ")));
  build_album_page(tabs_->add_page(QStringLiteral("    第二步：获取相册   ")));
  build_settings_page(tabs_->add_page(QStringLiteral("    第三步：设置   ")));
  tabs_->set_current_index(0);
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
  // Every column as wide as it was made; the columns after 相册ID stay hidden.
  const int widths[AlbumListModel::kColumns] = {60, 40, 120, 100, 70, 80, 80, 80};
  for (int column = 0; column < AlbumListModel::kColumns; ++column)
    album_table_->setColumnWidth(column, widths[column]);

  auto* canvas = place<QLabel>(list_group_, "画板1", canvas_left(album_table_),
                               album_table_->y() + kCanvasTopMargin, kCanvasWidth, kCanvasHeight);
  canvas->setAlignment(Qt::AlignCenter);
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
  progress_ = {canvas,
               progress,
               label(list_group_, "标签_进度条比例", 359, 390, 41, 23, {}),
               label(list_group_, "标签_选择了相册数量", 404, 390, 144, 23, {}),
               label(list_group_, "标签_正在下载相册", 554, 390, 110, 23, {}),
               label(list_group_, "标签_第多少张照片", 666, 390, 95, 23, {})};
  progress_row_ = {progress_caption,        progress,          progress_.percentage, progress_.albums_chosen,
                   progress_.album_started, progress_.photo_counter};
  for (QWidget* below : progress_row_) {
    below->setProperty("creation_top", below->y());
    below->setProperty("creation_left", below->x());
  }
}

void MainWindow::build_settings_page(QWidget* page) {
  QGroupBox* outer = group(page, "分组框7", 16, 49, kSettingsGroupWidth, kSettingsGroupHeight);
  settings_group_ = outer;
  QGroupBox* options = group(outer, "分组框2", 20, 15, 320, 307, QStringLiteral("常用设置："));
  // Every option of a download is in this frame; the tip on the photo counts ends it.
  record_box_ = place<QCheckBox>(options, "选择框_下载记录", 24, 58, 240, 20,
                                 QStringLiteral("开启下载记录（已经下载过的不再下载）"));
  range_box_ = place<QCheckBox>(options, "选择框_时间段", 24, 97, 240, 16,
                                QStringLiteral("开启后，只采集下面时间段上传的图片"));
  // The album index: a hidden file per album folder with every photo's whole caption,
  // post and upload time.
  index_box_ = place<QCheckBox>(options, "选择框_相册索引", 24, 30, 290, 20,
                                QStringLiteral("保存相册索引（完整标题、微博id、上传时间）"));
  label(options, "标签2", 40, 128, 56, 32, QStringLiteral("开始时间："))->setFont(pixel_font(11));
  start_date_ = place<QDateEdit>(options, "日期框_开始时间", 112, 132, 144, 24, as_date(kRangeStartDefault));
  label(options, "标签4", 40, 167, 56, 32, QStringLiteral("结束时间："))->setFont(pixel_font(11));
  end_date_ = place<QDateEdit>(options, "日期框_结束时间", 112, 171, 144, 24, as_date(range_end_default()));
  for (QDateEdit* picker : {start_date_, end_date_}) {
    picker->setCalendarPopup(true);
    picker->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    // The calendar names months and weekdays in Chinese whatever the machine's locale.
    picker->setLocale(QLocale(QLocale::Chinese, QLocale::China));
    if (picker->calendarWidget() != nullptr) picker->calendarWidget()->setLocale(picker->locale());
  }
  // How many photos a download fetches at once.
  label(options, "标签_同时下载", 24, 205, 200, 24, QStringLiteral("同时下载的照片数（1～8）："));
  jobs_box_ = place<QSpinBox>(options, "数值框_同时下载", 230, 205, 60, 24);
  jobs_box_->setRange(1, kMostJobs);
  // The page to look through each user folder, made from the album indexes.
  gallery_box_ =
      place<QCheckBox>(options, "选择框_相册浏览页", 24, 240, 290, 20, QStringLiteral("生成相册浏览页"));
  label(options, "标签8", 16, 267, 288, 32,
        QStringLiteral("温馨提示：有的微博相册里写的图片总数是不准确的。"));

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
  set_left(progress_.canvas, canvas_left(album_table_));
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
  set_width(progress_.bar, kProgressBarWidth + extra);
  for (QWidget* after : progress_row_) {
    if (after->x() > progress_.bar->x()) set_left(after, after->property("creation_left").toInt() + extra);
  }
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  relayout();
  stretch_heights();
  stretch_widths();
}

}  // namespace af
