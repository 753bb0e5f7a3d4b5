// SPDX-License-Identifier: GPL-3.0-or-later
#include "screenshots.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "ui/dialogs.h"
#include "ui/album_table.h"
#include "ui/main_window.h"
#include "ui/page_tabs.h"

namespace af {

namespace {

// Messages go to stderr, the folder chooser answers as a cancel would, no file manager
// opens.
class StderrDialogs final : public Dialogs {
 public:
  QString choose_folder(const QString&, const QString&) override { return {}; }
  using Dialogs::show_message;
  void show_message(const QString& text, const QString& caption) override {
    std::fprintf(stderr, "%s %s\n", qPrintable(caption), qPrintable(text));
  }
  void open_folder(const QString&) override {}
};

// Calls `done` once `ready` holds (checked every `every_ms`), or after `tries` checks anyway.
void when_ready(MainWindow& window, std::function<bool()> ready, std::function<void()> done,
                int tries = 300, int every_ms = 200) {
  if (ready() || tries <= 0) {
    done();
    return;
  }
  QTimer::singleShot(every_ms, &window,
                     [&window, ready = std::move(ready), done = std::move(done), tries, every_ms]() mutable {
                       when_ready(window, std::move(ready), std::move(done), tries - 1, every_ms);
                     });
}

QString text_of(MainWindow& window, const char* label) {
  auto* found = window.findChild<QLabel*>(QString::fromUtf8(label));
  return found == nullptr ? QString() : found->text();
}

}  // namespace

void take_screenshots(MainWindow& window, const QString& folder, bool with_demo) {
  QDir().mkpath(folder);
  window.set_dialogs(std::make_unique<StderrDialogs>());
  struct Shot {
    int page;
    int width;
    int height;
    QString name;
  };
  auto shots = std::make_shared<std::vector<Shot>>(std::vector<Shot>{
      {0, MainWindow::kCreationWidth, MainWindow::kCreationHeight, QStringLiteral("page-login.png")},
      {1, MainWindow::kCreationWidth, MainWindow::kCreationHeight, QStringLiteral("page-albums.png")},
      {2, MainWindow::kCreationWidth, MainWindow::kCreationHeight, QStringLiteral("page-settings.png")},
      {1, 1400, 900, QStringLiteral("albums-1400x900.png")},
  });
  auto save = [&window, folder](const QString& name) {
    window.grab().toImage().save(QDir(folder).filePath(name));
  };

  // The demo's download, pictured while its second album is under way.
  auto download = [&window, save] {
    window.resize(MainWindow::kCreationWidth, MainWindow::kCreationHeight);
    window.tabs()->set_current_index(1);
    window.findChild<QPushButton*>(QStringLiteral("按钮_下载选中"))->click();
    when_ready(
        window,
        [&window] {
          auto* bar = window.findChild<QProgressBar*>(QStringLiteral("进度条1"));
          return text_of(window, "标签_正在下载相册") == QStringLiteral("下载到第[2]个相册") &&
                 bar != nullptr && bar->value() >= 20;
        },
        [&window, save] {
          // Let the last updates draw before the picture is taken.
          QTimer::singleShot(300, &window, [save] {
            save(QStringLiteral("demo-download.png"));
            QApplication::quit();
          });
        });
  };

  auto next = std::make_shared<std::function<void(std::size_t)>>();
  *next = [&window, shots, next, save, download, with_demo](std::size_t i) {
    if (i == shots->size()) {
      if (with_demo)
        download();
      else
        QApplication::quit();
      return;
    }
    const Shot& shot = (*shots)[i];
    window.resize(shot.width, shot.height);
    window.tabs()->set_current_index(shot.page);
    // Let the page and the new size settle before the picture is taken.
    QTimer::singleShot(1500, &window, [shots, next, save, i] {
      save((*shots)[i].name);
      (*next)(i + 1);
    });
  };

  if (with_demo) {
    // The demo's album list fills the album page.
    // The list pictured once while it comes (a row in, the canvas showing the cover just
    // read), then again when it is whole.
    QTimer::singleShot(4000, &window, [&window, next, save] {
      window.resize(MainWindow::kCreationWidth, MainWindow::kCreationHeight);
      window.tabs()->set_current_index(1);
      window.findChild<QPushButton*>(QStringLiteral("按钮_获取相册封面"))->click();
      auto loading = [&window] {
        auto* canvas = window.findChild<QLabel*>(QStringLiteral("画板1"));
        return canvas != nullptr && canvas->isVisible() && window.album_table()->rowCount() > 0;
      };
      auto finished = [&window] {
        return text_of(window, "标签_动态").startsWith(QStringLiteral("相册列表获取完毕"));
      };
      when_ready(
          window, [loading, finished] { return loading() || finished(); },
          [&window, next, save, loading, finished] {
            if (loading())
              save(QStringLiteral("albums-loading.png"));
            else
              std::fprintf(stderr, "the list came whole before a picture of it coming could be taken\n");
            when_ready(window, finished, [next] { (*next)(0); });
          },
          500, 10);
    });
  } else {
    QTimer::singleShot(4000, &window, [next] { (*next)(0); });
  }
}

}  // namespace af
