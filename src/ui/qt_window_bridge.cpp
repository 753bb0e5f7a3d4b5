#include "ui/qt_window_bridge.h"

#include <QByteArray>
#include <QCheckBox>
#include <QDateEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <algorithm>

#include "download/downloader.h"
#include "ui/album_table.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"
#include "ui/qt_text.h"

namespace af {

namespace {

constexpr int kThumbnailSide = 100;

QImage decode(const std::string& bytes) {
  return QImage::fromData(QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

template <typename W>
W* named(MainWindow* window, const char* name) {
  return window->findChild<W*>(QString::fromUtf8(name));
}

const char* label_name(DownloadLabel label) {
  switch (label) {
    case DownloadLabel::SelectedAlbums:
      return "标签_选择了相册数量";
    case DownloadLabel::CurrentAlbum:
      return "标签_正在下载相册";
    case DownloadLabel::PhotoCounter:
      return "标签_第多少张照片";
    case DownloadLabel::Percentage:
      return "标签_进度条比例";
  }
  return "";
}

DateTime picker_date(MainWindow* window, const char* name) {
  DateTime value;
  if (auto* picker = named<QDateEdit>(window, name)) {
    const QDate date = picker->date();
    value.year = date.year();
    value.month = date.month();
    value.day = date.day();
  }
  return value;
}

}  // namespace

QImage cover_thumbnail(const std::string& bytes) {
  QImage picture = decode(bytes);
  // Bytes that are no picture (a server's error page, a cut-off file) show the
  // placeholder, never another album's cover.
  if (picture.isNull()) picture = decode(placeholder_cover());
  QImage thumbnail =
      picture.scaled(kThumbnailSide, kThumbnailSide, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
          .convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < thumbnail.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(thumbnail.scanLine(y));
    for (int x = 0; x < thumbnail.width(); ++x) {
      if ((line[x] & 0x00FFFFFF) == 0x00FFFFFF) line[x] = qRgba(255, 255, 255, 0);
    }
  }
  return thumbnail;
}

std::shared_ptr<QtWindowBridge> QtWindowBridge::create(MainWindow* window) {
  return std::shared_ptr<QtWindowBridge>(new QtWindowBridge(window), [](QtWindowBridge* bridge) {
    // The last owner may be an album job's thread; the object goes on its own thread.
    if (QThread::currentThread() == bridge->thread())
      delete bridge;
    else
      bridge->deleteLater();
  });
}

QtWindowBridge::QtWindowBridge(MainWindow* window) : window_(window) {
  // The cover option is followed here as the operator changes it, so a job's read never
  // has to ask the window's thread.
  if (auto* box = window != nullptr ? named<QCheckBox>(window, "选择框_有图") : nullptr) {
    covers_wanted_.store(box->isChecked());
    connect(box, &QCheckBox::toggled, this, [this](bool wanted) { covers_wanted_.store(wanted); });
  }
}

void QtWindowBridge::close() {
  jobs_.end();
  window_ = nullptr;
}

template <typename F>
void QtWindowBridge::post(F apply) {
  QMetaObject::invokeMethod(
      this,
      [this, apply = std::move(apply)] {
        if (window_) apply(window_.data());
      },
      Qt::QueuedConnection);
}

template <typename F>
void QtWindowBridge::post_download(Generation generation, F apply) {
  post([generation, apply = std::move(apply)](MainWindow* window) {
    const Downloader* downloader = window->downloader();
    if (downloader != nullptr && downloader->is_current(generation)) apply(window);
  });
}

void QtWindowBridge::show_bar() {
  auto* bar = window_ ? named<QProgressBar>(window_.data(), "进度条1") : nullptr;
  if (bar == nullptr) return;
  if (bar_maximum_ <= 0) {
    bar->setRange(0, 1);
    bar->setValue(1);
  } else {
    bar->setRange(0, bar_maximum_);
    bar->setValue(std::min(bar_position_, bar_maximum_));
  }
}

// --- the album list job ---

bool QtWindowBridge::covers_wanted() {
  // Never a blocking call to the window's thread: that thread waits for the album jobs
  // when the window goes.
  return covers_wanted_.load();
}

void QtWindowBridge::show_canvas(bool shown) {
  post([shown](MainWindow* window) {
    if (auto* canvas = named<QLabel>(window, "画板1")) canvas->setVisible(shown);
  });
}

void QtWindowBridge::set_column_width(int column, int width) {
  post([column, width](MainWindow* window) { window->album_table()->setColumnWidth(column, width); });
}

void QtWindowBridge::set_status(const std::string& text) {
  post([text = from_gbk(text)](MainWindow* window) {
    if (auto* status = named<QLabel>(window, "标签_动态")) status->setText(text);
  });
}

void QtWindowBridge::clear_rows() {
  post([](MainWindow* window) { window->album_table()->remove_all_rows(); });
}

void QtWindowBridge::reset_covers() {
  // Each row carries its own thumbnail, so a new job starts with nothing to drop: the
  // rows still shown keep theirs until clear_rows removes them.
  post([](MainWindow* window) {
    if (auto* canvas = named<QLabel>(window, "画板1")) canvas->clear();
  });
}

void QtWindowBridge::add_row(const AlbumRow& row) {
  // Decoding and scaling need no widget, so they are done on the caller's thread.
  std::optional<QImage> thumbnail;
  if (row.cover) thumbnail = cover_thumbnail(*row.cover);
  const QStringList cells = {from_gbk(row.serial), from_gbk(row.caption), QString(), from_gbk(row.photos),
                             from_gbk(album_ref_text(row.album))};
  post([cells, thumbnail](MainWindow* window) {
    AlbumTable* table = window->album_table();
    // Ticked by the program: no operator event, so no row becomes selected.
    const int index = table->add_album_row(cells, true);
    if (thumbnail) {
      const QPixmap picture = QPixmap::fromImage(*thumbnail);
      if (auto* canvas = named<QLabel>(window, "画板1")) canvas->setPixmap(picture);
      table->set_row_cover(index, picture);
    }
  });
}

void QtWindowBridge::set_progress_maximum(int maximum) {
  post([this, maximum](MainWindow*) {
    bar_maximum_ = ProgressBarModel::hold(maximum);
    show_bar();
  });
}

void QtWindowBridge::set_progress_position(int position) {
  post([this, position](MainWindow*) {
    bar_position_ = ProgressBarModel::hold(position);
    show_bar();
  });
}

void QtWindowBridge::set_progress_label(const std::string& text) {
  post([text = from_gbk(text)](MainWindow* window) {
    if (auto* label = named<QLabel>(window, "标签_进度条比例")) label->setText(text);
  });
}

void QtWindowBridge::append_log(const std::string& text) {
  post([text = from_gbk(text)](MainWindow* window) { window->append_log(text); });
}

void QtWindowBridge::show_message(const std::string& text, const std::string& caption) {
  post([text = from_gbk(text), caption = from_gbk(caption)](MainWindow* window) {
    window->dialogs().show_message(text, caption);
  });
}

// --- the download ---

std::vector<TickedAlbum> QtWindowBridge::ticked_albums() {
  std::vector<TickedAlbum> albums;
  if (!window_) return albums;
  const AlbumTable* table = window_->album_table();
  auto cell = [table](int row, int column) {
    const QTableWidgetItem* item = table->item(row, column);
    return item == nullptr ? std::string() : to_gbk(item->text());
  };
  for (int row = 0; row < table->rowCount(); ++row) {
    if (!table->row_ticked(row)) continue;
    albums.push_back({cell(row, 1), cell(row, 2), cell(row, 4), parse_album_ref(cell(row, 5))});
  }
  return albums;
}

std::string QtWindowBridge::save_folder_text() {
  auto* box = window_ ? named<QLineEdit>(window_.data(), "编辑框_保存位置") : nullptr;
  return box == nullptr ? std::string() : to_gbk(box->text());
}

// The box's own text, not its GBK form: a folder may hold any character.
std::string QtWindowBridge::save_folder_path() {
  auto* box = window_ ? named<QLineEdit>(window_.data(), "编辑框_保存位置") : nullptr;
  return box == nullptr ? std::string() : box->text().toStdString();
}

DateTime QtWindowBridge::range_start() {
  return window_ ? picker_date(window_.data(), "日期框_开始时间") : DateTime{};
}

DateTime QtWindowBridge::range_end() {
  return window_ ? picker_date(window_.data(), "日期框_结束时间") : DateTime{};
}

void QtWindowBridge::append_log(Generation generation, const std::string& text) {
  post_download(generation, [text = from_gbk(text)](MainWindow* window) { window->append_log(text); });
}

void QtWindowBridge::set_label(Generation generation, DownloadLabel label, const std::string& text) {
  post_download(generation, [name = label_name(label), text = from_gbk(text)](MainWindow* window) {
    if (auto* shown = named<QLabel>(window, name)) shown->setText(text);
  });
}

void QtWindowBridge::set_progress_maximum(Generation generation, int maximum) {
  post_download(generation, [this, maximum](MainWindow*) {
    bar_maximum_ = ProgressBarModel::hold(maximum);
    show_bar();
  });
}

void QtWindowBridge::set_progress_position(Generation generation, int position) {
  post_download(generation, [this, position](MainWindow*) {
    bar_position_ = ProgressBarModel::hold(position);
    show_bar();
  });
}

void QtWindowBridge::set_buttons(Generation generation, ButtonState state) {
  post_download(generation, [state](MainWindow* window) { window->show_download_buttons(state); });
}

void QtWindowBridge::show_message(Generation generation, const std::string& text) {
  post_download(generation, [text = from_gbk(text)](MainWindow* window) {
    // From the download's own thread: the window stays usable while it is shown.
    window->dialogs().show_notice(text, QStringLiteral("信息："));
  });
}

}  // namespace af
