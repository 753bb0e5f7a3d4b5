#include "ui/screenshots.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "ui/main_window.h"
#include "ui/page_tabs.h"

namespace af {

void take_screenshots(MainWindow& window, const QString& folder) {
  QDir().mkpath(folder);
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
  auto next = std::make_shared<std::function<void(std::size_t)>>();
  *next = [&window, folder, shots, next](std::size_t i) {
    if (i == shots->size()) {
      QApplication::quit();
      return;
    }
    const Shot& shot = (*shots)[i];
    window.resize(shot.width, shot.height);
    window.tabs()->set_current_index(shot.page);
    // Let the page and the new size settle before the picture is taken.
    QTimer::singleShot(1500, &window, [&window, folder, shots, next, i] {
      window.grab_image().save(QDir(folder).filePath((*shots)[i].name));
      (*next)(i + 1);
    });
  };
  QTimer::singleShot(4000, &window, [next] { (*next)(0); });
}

}  // namespace af
