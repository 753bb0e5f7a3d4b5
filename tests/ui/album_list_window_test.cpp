// SPDX-License-Identifier: GPL-3.0-or-later
// "2：获取相册" in the real window against the sample photo service: the table, the labels,
// the log, the message boxes, the cover thumbnails, the album overview command, and a
// long list filling while the window keeps answering.
#include <httplib.h>

#include <QBuffer>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebEngineView>
#include <algorithm>
#include <set>
#include <thread>

#include "core/paths.h"
#include "http/cookie_store.h"
#include "sample_service.h"
#include "service/album_list.h"
#include "ui/album_table.h"
#include "ui/qt_window_bridge.h"
#include "window_support.h"

using af::MainWindow;
using af::PresetDialogs;
using af::test::control;
using af::test::label_text;

namespace {

constexpr int kWait = 30000;

// Serves bytes that start like a JPEG and are none, for a cover that cannot be decoded.
class BrokenCoverServer {
 public:
  BrokenCoverServer() {
    server_.Get("/broken.jpg", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(std::string("\xFF\xD8\xFF\xE0", 4) + std::string(300, 'x'), "image/jpeg");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~BrokenCoverServer() {
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/broken.jpg"; }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

QImage shown_cover(MainWindow& window, int row) {
  const QModelIndex cell = window.album_table()->model()->index(row, 3);
  return cell.data(Qt::DecorationRole).value<QPixmap>().toImage().convertToFormat(QImage::Format_ARGB32);
}

QImage expected_cover(const std::string& bytes) {
  return af::cover_thumbnail(bytes).convertToFormat(QImage::Format_ARGB32);
}

QString cell_text(MainWindow& window, int row, int column) {
  return window.album_table()->model()->index(row, column).data().toString();
}

}  // namespace

class AlbumListWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir home_;
  std::unique_ptr<afsample::SampleService> service_;

  std::unique_ptr<MainWindow> make_window(const af::Pacing& pacing = af::Pacing::shortened(0)) {
    return af::test::window_on_service(service_->base_url(), pacing);
  }

  QString home_of(const std::string& path) const {
    return QString::fromStdString(service_->base_url() + path);
  }

  void fetch_albums(MainWindow& window, const QString& address) {
    control<QLineEdit>(window, QStringLiteral("编辑框_号码"))->setText(address);
    control<QPushButton>(window, QStringLiteral("按钮_获取相册封面"))->click();
  }

  static bool finished(MainWindow& window) {
    return label_text(window, QStringLiteral("标签_动态")).startsWith(QStringLiteral("相册列表获取完毕"));
  }

 private slots:
  void initTestCase() {
    service_ = af::test::start_test_program(home_);
    QVERIFY(service_);
  }

  void init() { service_->reset(); }

  void rows_labels_and_log_of_a_list() {
    afsample::SampleUser user = afsample::make_user("1111111111", "/u/1111111111", "Someone's page");
    user.albums.push_back(afsample::make_album("3558936300000001", "\xE6\x97\x85\xE8\xA1\x8C", 5));  // 旅行
    user.albums.push_back(afsample::make_album("3558936300000002", "empty", 0));
    afsample::SampleAlbum third = afsample::make_album("3558936300000003", "third", 7);
    third.type_json = "3";
    user.albums.push_back(third);
    service_->add_user(user);

    // The real waits: 1 s after the list, 200 ms before each album.
    auto window = make_window(af::Pacing{});
    PresetDialogs* dialogs = af::test::install_preset_dialogs(*window);
    QElapsedTimer clock;
    clock.start();
    fetch_albums(*window, home_of("/u/1111111111"));
    // The user is resolved off the window's thread; the values reach the window when the
    // fetch is done.
    QTRY_VERIFY_WITH_TIMEOUT(!window->fetching_home_page(), kWait);
    QCOMPARE(window->resolved_user().user_id, std::string("1111111111"));
    QCOMPARE(window->resolved_user().user_title, std::string("Someone's page"));
    QCOMPARE(window->resolved_user().home_page_address, service_->base_url() + "/u/1111111111");

    QTRY_VERIFY_WITH_TIMEOUT(finished(*window), kWait);
    QVERIFY(clock.elapsed() >= 1000 + 3 * 200);
    QCOMPARE(label_text(*window, QStringLiteral("标签_动态")), QStringLiteral("相册列表获取完毕,共计2个"));
    QCOMPARE(window->album_table()->rowCount(), 2);
    QCOMPARE(cell_text(*window, 0, 1), QStringLiteral("1"));
    QCOMPARE(cell_text(*window, 0, 2), QStringLiteral("旅行"));
    QCOMPARE(cell_text(*window, 0, 4), QStringLiteral("5"));
    QCOMPARE(cell_text(*window, 0, 5), QStringLiteral("3558936300000001@@18"));
    QCOMPARE(cell_text(*window, 1, 1), QStringLiteral("2"));
    QCOMPARE(cell_text(*window, 1, 2), QStringLiteral("third"));
    QCOMPARE(cell_text(*window, 1, 4), QStringLiteral("7"));
    QCOMPARE(cell_text(*window, 1, 5), QStringLiteral("3558936300000003@@3"));
    // Ticked by the program: no row becomes selected.
    QVERIFY(window->album_table()->row_ticked(0));
    QVERIFY(window->album_table()->row_ticked(1));
    QVERIFY(window->album_table()->selectionModel()->selectedRows().isEmpty());

    QCOMPARE(label_text(*window, QStringLiteral("标签_进度条比例")), QStringLiteral("100%"));
    auto* bar = control<QProgressBar>(*window, QStringLiteral("进度条1"));
    QCOMPARE(bar->maximum(), 3);
    QCOMPARE(bar->value(), 3);
    QCOMPARE(window->log_box()->toPlainText(),
             QStringLiteral("正努力获取相册列表，耐心等待哈！\n\n"
                            "当前没有登录微博，只列出了公开的相册：要列出登录后才能看到的相册，"
                            "请先在“登录”页登录微博，再重新获取\n"
                            "-----获取完毕,共计2个\n\n"));
    // The canvas is hidden again and the hidden columns stay hidden.
    QVERIFY(control<QWidget>(*window, QStringLiteral("画板1"))->isHidden());
    for (int column : {5, 6, 7}) QCOMPARE(window->album_table()->columnWidth(column), 0);
    QCOMPARE(window->album_table()->columnWidth(3), 100);
    QVERIFY(dialogs->messages().empty());
  }

  void covers_and_placeholders_in_column_3() {
    BrokenCoverServer broken;
    afsample::SampleUser user = afsample::make_user("2222222222", "/u/2222222222", "Covers");
    user.albums.push_back(afsample::make_album("3558936300000011", "served", 2));
    afsample::SampleAlbum no_cover = afsample::make_album("3558936300000012", "no cover", 2);
    no_cover.cover_pic = "";
    user.albums.push_back(no_cover);
    afsample::SampleAlbum bad_cover = afsample::make_album("3558936300000013", "bad cover", 2);
    bad_cover.cover_pic = broken.url();
    user.albums.push_back(bad_cover);
    service_->add_user(user);

    auto window = make_window();
    af::test::install_preset_dialogs(*window);
    fetch_albums(*window, home_of("/u/2222222222"));
    QTRY_VERIFY_WITH_TIMEOUT(finished(*window), kWait);
    QCOMPARE(window->album_table()->rowCount(), 3);

    const QImage served = shown_cover(*window, 0);
    QCOMPARE(served.size(), QSize(100, 100));
    QCOMPARE(served, expected_cover(service_->image_bytes("cover_3558936300000011.jpg")));
    const QImage placeholder = expected_cover(af::placeholder_cover());
    QCOMPARE(shown_cover(*window, 1), placeholder);
    // A cover that does not decode shows the placeholder, not the album before it.
    QCOMPARE(shown_cover(*window, 2), placeholder);
    QVERIFY(shown_cover(*window, 2) != served);
  }

  void covers_fetched_as_many_at_once_as_photos_and_a_close_ends_them() {
    afsample::SampleUser user = afsample::make_user("2222222223", "/u/2222222223", "Covers at once");
    afsample::SampleAlbum first = afsample::make_album("3558936300000014", "stalled cover", 2);
    afsample::SamplePhoto& stalled = first.photos[0];
    stalled.image_fault = afsample::ImageFault::Stall;
    stalled.image_fault_times = -1;
    stalled.image_fault_delay = std::chrono::hours(1);
    first.cover_pic = service_->base_url() + "/large/" + stalled.pic_name;
    user.albums.push_back(first);
    user.albums.push_back(afsample::make_album("3558936300000015", "second", 2));
    service_->add_user(user);

    auto window = make_window();
    af::test::install_preset_dialogs(*window);
    control<QCheckBox>(*window, QStringLiteral("选择框_有图"))->setChecked(true);
    control<QSpinBox>(*window, QStringLiteral("数值框_同时下载"))->setValue(2);
    fetch_albums(*window, home_of("/u/2222222223"));
    // The second cover is asked for while the first one stalls; its row waits for the first.
    QTRY_VERIFY_WITH_TIMEOUT(!service_->requests_to("/large/cover_3558936300000015.jpg").empty(), kWait);
    QCOMPARE(window->album_table()->rowCount(), 0);
    // The window goes mid-list: the stalled cover is aborted, not waited for.
    window.reset();
  }

  void thumbnail_makes_white_transparent_and_mends_undecodable_bytes() {
    QImage picture(40, 20, QImage::Format_RGB32);
    picture.fill(Qt::white);
    for (int y = 0; y < 20; ++y)
      for (int x = 20; x < 40; ++x) picture.setPixel(x, y, qRgb(200, 0, 0));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(picture.save(&buffer, "PNG"));
    const QImage thumbnail =
        af::cover_thumbnail(std::string(png.constData(), static_cast<std::size_t>(png.size())));
    QCOMPARE(thumbnail.size(), QSize(100, 100));
    QCOMPARE(qAlpha(thumbnail.pixel(10, 50)), 0);    // white: transparent
    QCOMPARE(qAlpha(thumbnail.pixel(90, 50)), 255);  // red: kept
    QCOMPARE(qRed(thumbnail.pixel(90, 50)), 200);
    // A 2:1 picture is 100x50 in the middle of the cell, never stretched to a square.
    QCOMPARE(qAlpha(thumbnail.pixel(90, 20)), 0);
    QCOMPARE(qAlpha(thumbnail.pixel(90, 80)), 0);
    QCOMPARE(qAlpha(thumbnail.pixel(90, 26)), 255);
    QCOMPARE(qAlpha(thumbnail.pixel(90, 73)), 255);

    const QImage placeholder = af::cover_thumbnail(af::placeholder_cover());
    QCOMPARE(placeholder.size(), QSize(100, 100));
    for (const std::string& bytes :
         {std::string(), std::string("not a picture"),
          std::string("\xFF\xD8\xFF\xE0", 4) + std::string(50, 'z'), std::string("GIF89a")}) {
      QCOMPARE(af::cover_thumbnail(bytes), placeholder);
    }
  }

  void covers_off_gives_no_column_3() {
    afsample::SampleUser user = afsample::make_user("3333333333", "/u/3333333333", "No covers");
    user.albums.push_back(afsample::make_album("3558936300000021", "one", 1));
    service_->add_user(user);
    auto window = make_window();
    af::test::install_preset_dialogs(*window);
    control<QCheckBox>(*window, QStringLiteral("选择框_有图"))->setChecked(false);
    fetch_albums(*window, home_of("/u/3333333333"));
    QTRY_VERIFY_WITH_TIMEOUT(finished(*window), kWait);
    QCOMPARE(window->album_table()->rowCount(), 1);
    QCOMPARE(window->album_table()->columnWidth(3), 0);
    QVERIFY(shown_cover(*window, 0).isNull());
    QVERIFY(service_->requests_to("/large/cover_3558936300000021.jpg").empty());
  }

  void no_albums_shows_the_box() {
    service_->add_user(afsample::make_user("4444444444", "/u/4444444444", "Nobody"));
    auto window = make_window();
    PresetDialogs* dialogs = af::test::install_preset_dialogs(*window);
    fetch_albums(*window, home_of("/u/4444444444"));
    QTRY_COMPARE_WITH_TIMEOUT(dialogs->messages().size(), std::size_t(1), kWait);
    QCOMPARE(dialogs->messages()[0].text, QStringLiteral("获取到相册个数为：0"));
    QCOMPARE(dialogs->messages()[0].caption, QStringLiteral("温馨提示"));
    QCOMPARE(window->album_table()->rowCount(), 0);
    // Nothing else changes: the status keeps its text, the canvas stays shown.
    QCOMPARE(label_text(*window, QStringLiteral("标签_动态")), QStringLiteral("相册获取中，耐心等待..."));
    QWidget* canvas = control<QWidget>(*window, QStringLiteral("画板1"));
    QVERIFY(!canvas->isHidden());
    // Shown in the table's area, right of its columns.
    const af::AlbumTable* table = window->album_table();
    QVERIFY(table->geometry().contains(canvas->geometry()));
    QVERIFY(canvas->x() > table->x() + table->horizontalHeader()->length());
  }

  void empty_box_asks_for_an_address() {
    auto window = make_window();
    PresetDialogs* dialogs = af::test::install_preset_dialogs(*window);
    window->album_table()->albums()->set_user({{}, "kept", {}, {}});
    fetch_albums(*window, QString());
    QTRY_COMPARE_WITH_TIMEOUT(dialogs->messages().size(), std::size_t(1), kWait);
    QCOMPARE(dialogs->messages()[0].text, QStringLiteral("请输入网址"));
    QCOMPARE(dialogs->messages()[0].caption, QStringLiteral("信息："));
    QCOMPARE(window->resolved_user().user_id, std::string("kept"));
    QVERIFY(window->log_box()->toPlainText().isEmpty());
    QVERIFY(service_->requests().empty());
  }

  void album_overview_opens_in_the_browser() {
    service_->add_user(afsample::make_user("5555555555", "/u/5555555555", "Overview"));
    auto window = make_window();
    af::test::install_preset_dialogs(*window);
    // Start-up sends the browser home from a thread of its own; that comes first, and the
    // address box follows the page shown until the operator types.
    QTRY_COMPARE_WITH_TIMEOUT(window->browser()->url(), QUrl(QStringLiteral("about:blank")), kWait);
    control<QLineEdit>(*window, QStringLiteral("编辑框_url"))->setText(home_of("/u/5555555555"));
    control<QPushButton>(*window, QStringLiteral("按钮_专辑页面"))->click();
    QTRY_VERIFY_WITH_TIMEOUT(!window->fetching_home_page(), kWait);
    QCOMPARE(window->resolved_user().user_id, std::string("5555555555"));
    QCOMPARE(window->resolved_user().user_title, std::string());
    QTRY_COMPARE_WITH_TIMEOUT(window->browser()->url(), QUrl(home_of("/5555555555/albums/")), kWait);
  }

  void long_list_fills_while_the_window_answers() {
    afsample::SampleUser user = afsample::make_user("6666666666", "/u/6666666666", "Many albums");
    for (int i = 0; i < 300; ++i) {
      user.albums.push_back(
          afsample::make_album(std::to_string(3558936310000000LL + i), "album " + std::to_string(i), 1));
    }
    service_->add_user(user);
    auto window = make_window();
    af::test::install_preset_dialogs(*window);
    af::Pacing pacing;
    pacing.after_album_list = std::chrono::milliseconds(100);
    pacing.per_album = std::chrono::milliseconds(10);
    window->set_pacing(pacing);

    // A timer on the window's thread keeps firing while the job runs; it sees the table
    // at many sizes on the way.
    std::set<int> sizes_seen;
    qint64 longest_gap = 0;
    QElapsedTimer since_last;
    QTimer ticker;
    ticker.setInterval(5);
    connect(&ticker, &QTimer::timeout, this, [&] {
      longest_gap = std::max(longest_gap, since_last.restart());
      sizes_seen.insert(window->album_table()->rowCount());
    });

    fetch_albums(*window, home_of("/u/6666666666"));
    // The click returns with the job under way (it needs at least 300 x 10 ms).
    QVERIFY(window->album_table()->rowCount() < 300);
    since_last.start();
    ticker.start();
    QTRY_VERIFY_WITH_TIMEOUT(finished(*window), 120000);
    ticker.stop();

    QCOMPARE(window->album_table()->rowCount(), 300);
    QCOMPARE(cell_text(*window, 299, 1), QStringLiteral("300"));
    const auto partial =
        std::count_if(sizes_seen.begin(), sizes_seen.end(), [](int n) { return n > 0 && n < 300; });
    QVERIFY2(partial >= 10, qPrintable(QStringLiteral("partial table sizes seen: %1").arg(partial)));
    // Generous: the job takes seconds; the window never stood still for a second of it.
    QVERIFY2(longest_gap < 1000, qPrintable(QStringLiteral("longest gap %1 ms").arg(longest_gap)));
  }
};

QTEST_MAIN(AlbumListWindowTest)
#include "album_list_window_test.moc"
