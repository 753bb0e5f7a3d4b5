// SPDX-License-Identifier: GPL-3.0-or-later
// gallery_bench: the gallery page over a large archive. Makes a user folder of N indexed
// photos (small real JPEG files, captions of a usual length), writes its page, and opens it
// in the browser engine the window uses, offscreen. Prints the page's size, the time to
// write it, and per opening the browser's first paint, first contentful paint and load.
//
//   gallery_bench [--photos 4000] [--albums 20] [--runs 3]
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "download/gallery.h"
#include "support/archive_maker.h"

namespace {

QVariant evaluate(QWebEnginePage& page, const QString& script) {
  std::optional<QVariant> result;
  page.runJavaScript(script, [&result](const QVariant& value) { result = value; });
  QTest::qWaitFor([&result] { return result.has_value(); }, 60000);
  return result.value_or(QVariant());
}

}  // namespace

int main(int argc, char* argv[]) {
  int photos = 4000, albums = 20, runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (name == "--photos")
      photos = value;
    else if (name == "--albums")
      albums = value;
    else if (name == "--runs")
      runs = value;
  }
  if (photos < 1 || albums < 1 || albums > photos || runs < 1) {
    std::fprintf(stderr, "usage: gallery_bench [--photos N] [--albums N] [--runs N]\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures show as they come
  QApplication app(argc, argv);
  QTemporaryDir folder;
  const std::string user = folder.path().toStdString() + "/小明的微博";
  // Captions of 20 to 60 characters, as a post's text cut by the service usually is.
  const std::string words =
      "今天去公园看了春天的花，樱花开得正好，风一吹就落了一地。和朋友们拍了很多照片，晚上一起吃火锅。";
  for (int a = 0; a < albums; ++a) {
    std::vector<aftest::ArchivePhoto> list;
    for (int p = a; p < photos; p += albums) {
      const std::size_t characters = 20 + static_cast<std::size_t>(p % 41);
      list.push_back({std::to_string(p) + " " + words.substr(0, characters * 3), 1365061200 + p * 3600});
    }
    aftest::make_archive_album(user, "相册" + std::to_string(a + 1) + "_" + std::to_string(list.size()),
                               "相册" + std::to_string(a + 1), list, 1765200000 + a);
  }

  const auto started = std::chrono::steady_clock::now();
  const af::GalleryOutcome page = af::write_gallery_page(user);
  const double write_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  if (page.result != af::GalleryOutcome::Written) {
    std::fprintf(stderr, "the page was not written\n");
    return 1;
  }
  std::printf("photos %zu in %zu albums\n", page.photos, page.albums);
  std::printf("page size %ju bytes (%.1f per photo)\n",
              static_cast<std::uintmax_t>(std::filesystem::file_size(page.path)),
              static_cast<double>(std::filesystem::file_size(page.path)) / static_cast<double>(page.photos));
  std::printf("page written in %.1f ms (indexes read, page made, flushed, renamed)\n", write_ms);

  QWebEngineProfile profile;  // off the record, a fresh cache
  QWebEnginePage web(&profile);
  QWebEngineView view;
  view.setPage(&web);
  view.resize(1280, 800);
  view.show();
  const QUrl address = QUrl::fromLocalFile(QString::fromStdString(page.path));
  for (int run = 1; run <= runs; ++run) {
    bool loaded = false;
    const auto connection =
        QObject::connect(&web, &QWebEnginePage::loadFinished, [&loaded] { loaded = true; });
    QElapsedTimer timer;
    timer.start();
    view.load(address);
    QTest::qWaitFor([&loaded] { return loaded; }, 120000);
    const qint64 load_ms = timer.elapsed();
    QObject::disconnect(connection);
    // Paint entries appear once the frame is presented.
    QTest::qWaitFor(
        [&] {
          return evaluate(web, QStringLiteral("performance.getEntriesByType('paint').length")).toInt() >= 2;
        },
        30000);
    const QVariantList paints =
        evaluate(web, QStringLiteral("performance.getEntriesByType('paint').map((e) => e.startTime)"))
            .toList();
    // When the file was read, the script had run (DOMContentLoaded) and the load ended.
    const QVariantList steps =
        evaluate(web,
                 QStringLiteral("(() => { const n = performance.getEntriesByType('navigation')[0];"
                                " return [n.responseEnd, n.domContentLoadedEventEnd, n.loadEventEnd]; })()"))
            .toList();
    const int figures = evaluate(web, QStringLiteral("document.querySelectorAll('figure').length")).toInt();
    const int images = evaluate(web, QStringLiteral("Array.from(document.images).filter((i) => i.complete && "
                                                    "i.naturalWidth > 0).length"))
                           .toInt();
    std::printf(
        "run %d: file read %.0f ms, script done %.0f ms, first paint %.0f ms, first contentful paint "
        "%.0f ms, load event %.0f ms (%lld ms seen by the view); %d photos on the page, %d pictures loaded\n",
        run, steps.value(0).toDouble(), steps.value(1).toDouble(), paints.value(0).toDouble(),
        paints.value(1).toDouble(), steps.value(2).toDouble(), static_cast<long long>(load_ms), figures,
        images);
  }
  return 0;
}
