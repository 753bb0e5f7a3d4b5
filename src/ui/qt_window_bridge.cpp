// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/qt_window_bridge.h"

#include <QByteArray>
#include <QCheckBox>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
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

// The album table's columns after 相册ID stay hidden.
constexpr int kHiddenColumns[] = {AlbumListModel::kAlbumId, AlbumListModel::kQuestion, AlbumListModel::kPassword};

// Sets the bar to the figures as every front end holds them; a maximum of 0 is drawn as a
// full bar, and so is a position beyond the maximum.
void show_bar(MainWindow* window, std::int64_t position, std::int64_t maximum) {
  QProgressBar* bar = window->progress_widgets().bar;
  const int held_maximum = held_figure(maximum);
  if (held_maximum <= 0) {
    bar->setRange(0, 1);
    bar->setValue(1);
  } else {
    bar->setRange(0, held_maximum);
    bar->setValue(std::min(held_figure(position), held_maximum));
  }
}

void show_canvas(MainWindow* window, bool shown) { window->progress_widgets().canvas->setVisible(shown); }

}  // namespace

QImage cover_thumbnail(const std::string& bytes) {
  QImage picture = decode(bytes);
  // Bytes that are no picture (a server's error page, a cut-off file) show the
  // placeholder, never another album's cover.
  if (picture.isNull()) picture = decode(placeholder_cover());
  // The picture keeps its shape: scaled to fit the square cell and centred in it, with the
  // rest of the cell transparent.
  QImage fitted = picture.scaled(kThumbnailSide, kThumbnailSide, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                      .convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < fitted.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(fitted.scanLine(y));
    for (int x = 0; x < fitted.width(); ++x) {
      if ((line[x] & 0x00FFFFFF) == 0x00FFFFFF) line[x] = qRgba(255, 255, 255, 0);
    }
  }
  QImage thumbnail(kThumbnailSide, kThumbnailSide, QImage::Format_ARGB32);
  thumbnail.fill(Qt::transparent);
  const int left = (kThumbnailSide - fitted.width()) / 2;
  const int top = (kThumbnailSide - fitted.height()) / 2;
  for (int y = 0; y < fitted.height(); ++y) {
    const auto* from = reinterpret_cast<const QRgb*>(fitted.constScanLine(y));
    auto* to = reinterpret_cast<QRgb*>(thumbnail.scanLine(top + y)) + left;
    std::copy(from, from + fitted.width(), to);
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
  if (QCheckBox* box = window != nullptr ? window->covers_box() : nullptr) {
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

// --- the album list job ---

bool QtWindowBridge::covers_wanted() {
  // Never a blocking call to the window's thread: that thread waits for the album jobs
  // when the window goes.
  return covers_wanted_.load();
}

void QtWindowBridge::list_started() {
  post([](MainWindow* window) {
    show_canvas(window, true);
    // A download's labels belong to the albums listed before.
    window->clear_progress(false);
    for (int column : kHiddenColumns) window->album_table()->setColumnWidth(column, 0);
    window->album_table()->remove_all_rows();
    // Each row carries its own thumbnail: the canvas alone shows a cover of the last job.
    window->progress_widgets().canvas->clear();
  });
}

void QtWindowBridge::list_ended() {
  post([](MainWindow* window) { show_canvas(window, false); });
}

void QtWindowBridge::status(const std::string& text) {
  post([text = from_gbk(text)](MainWindow* window) { window->show_status(text); });
}

void QtWindowBridge::list_progress(int position, int maximum) {
  post([position, maximum, text = from_gbk(percentage_text(position, maximum))](MainWindow* window) {
    show_bar(window, position, maximum);
    window->progress_widgets().percentage->setText(text);
  });
}

void QtWindowBridge::album_found(const AlbumRow& row) {
  // Decoding and scaling need no widget, so they are done on the caller's thread.
  std::optional<QImage> thumbnail;
  if (row.cover) thumbnail = cover_thumbnail(*row.cover);
  // The table keeps the row without its cover's bytes: the thumbnail stands for them.
  AlbumRow shown{.serial = row.serial, .caption = row.caption, .photos = row.photos, .album = row.album};
  post([shown = std::move(shown), thumbnail](MainWindow* window) {
    AlbumTable* table = window->album_table();
    // The cover column is as wide as a thumbnail while covers are shown.
    table->setColumnWidth(AlbumListModel::kCover, thumbnail ? kThumbnailSide : 0);
    // Ticked by the program: no operator event, so no row becomes selected.
    const int index = table->add_album(shown, true);
    if (thumbnail) {
      const QPixmap picture = QPixmap::fromImage(*thumbnail);
      window->progress_widgets().canvas->setPixmap(picture);
      table->set_row_cover(index, picture);
    }
  });
}

void QtWindowBridge::log(const std::string& text) {
  post([text = from_gbk(text)](MainWindow* window) { window->append_log(text); });
}

void QtWindowBridge::message(const std::string& text, const std::string& caption) {
  post([text = from_gbk(text), caption = from_gbk(caption)](MainWindow* window) {
    window->dialogs().show_message(text, caption);
  });
}

namespace {

// The limit's text, and for a refusal where to log in again.
QString limit_message(const ServiceLimit& limit) {
  QString text = from_gbk(limit.text);
  if (limit.problem == ListProblem::Refused) text += QStringLiteral("\n") + from_gbk(login_advice());
  return text;
}

// What a limit shows beside its log line, after an album list or a download alike: the
// status line and a warning box.
void show_limit(MainWindow* window, const QString& status, const QString& text) {
  window->show_status(status);
  window->dialogs().show_notice(text, QStringLiteral("警告："));
}

}  // namespace

void QtWindowBridge::tell_limit(const std::string& failure, const ServiceLimit& limit) {
  tell_failure(failure);
  log(limit.text + "\r\n\r\n");
  post([status = from_gbk(limit_status_text(limit)), text = limit_message(limit)](MainWindow* window) {
    show_limit(window, status, text);
  });
}

// --- the download ---

void QtWindowBridge::log(Generation generation, const std::string& text) {
  post_download(generation, [text = from_gbk(text)](MainWindow* window) { window->append_log(text); });
}

void QtWindowBridge::state_changed(Generation generation, DownloadState state) {
  post_download(generation, [state](MainWindow* window) { window->show_download_buttons(state); });
}

void QtWindowBridge::albums_chosen(Generation generation, std::size_t albums) {
  post_download(generation, [text = from_gbk(albums_chosen_text(albums))](MainWindow* window) {
    window->progress_widgets().albums_chosen->setText(text);
  });
}

void QtWindowBridge::album_started(Generation generation, std::size_t album) {
  post_download(generation, [text = from_gbk(album_started_text(album))](MainWindow* window) {
    window->progress_widgets().album_started->setText(text);
  });
}

void QtWindowBridge::progress(Generation generation, const PhotoProgress& progress) {
  post_download(generation, [progress, percentage = from_gbk(progress_percentage_text(progress)),
                             counter = from_gbk(progress_counter_text(progress))](MainWindow* window) {
    const MainWindow::ProgressWidgets& shown = window->progress_widgets();
    shown.percentage->setText(percentage);
    show_bar(window, progress.position, progress.maximum);
    // Before the album's first photo the counter keeps the last album's text.
    if (progress.position > 0) shown.photo_counter->setText(counter);
  });
}

void QtWindowBridge::album_finished(Generation generation) {
  post_download(generation, [](MainWindow* window) { window->progress_widgets().photo_counter->clear(); });
}

void QtWindowBridge::download_finished(Generation generation, bool complete) {
  post_download(generation, [complete](MainWindow* window) {
    const MainWindow::ProgressWidgets& shown = window->progress_widgets();
    shown.photo_counter->setText(from_gbk(finished_counter_text(complete)));
    // Full whatever its maximum: with no album run it still has the one the list gave it.
    shown.bar->setValue(shown.bar->maximum());
    shown.percentage->setText(from_gbk(finished_percentage_text()));
  });
}

void QtWindowBridge::message(Generation generation, const std::string& text) {
  post_download(generation, [text = from_gbk(text)](MainWindow* window) {
    // From the download's own thread: the window stays usable while it is shown.
    window->dialogs().show_notice(text, QStringLiteral("信息："));
  });
}

void QtWindowBridge::warning(Generation generation, const std::string& text) {
  post_download(generation, [text = from_gbk(text)](MainWindow* window) {
    window->dialogs().show_notice(text, QStringLiteral("警告："));
  });
}

void QtWindowBridge::storage_failure(Generation generation, const std::string& text) {
  post_download(generation, [log = from_gbk(text + "\r\n"), text = from_gbk(text)](MainWindow* window) {
    window->append_log(log);
    window->progress_widgets().photo_counter->setText(QStringLiteral("保存失败，已停止"));
    window->dialogs().show_notice(text, QStringLiteral("警告："));
  });
}

void QtWindowBridge::service_limited(Generation generation, const ServiceLimit& limit) {
  post_download(generation, [log = from_gbk(limit.text + "\r\n\r\n"), status = from_gbk(limit_status_text(limit)),
                             text = limit_message(limit)](MainWindow* window) {
    window->append_log(log);
    window->progress_widgets().photo_counter->setText(QStringLiteral("请求受限，已停止"));
    show_limit(window, status, text);
  });
}

}  // namespace af
