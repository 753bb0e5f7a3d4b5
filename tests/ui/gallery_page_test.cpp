// SPDX-License-Identifier: GPL-3.0-or-later
// The gallery page in a real browser engine, used as a person uses it: the photos of the
// album indexes, a search typed in, a date range in the address, the viewer opened by a
// click and moved with the arrow keys. Hostile captions show as text and run nothing, and
// no request leaves the disk.
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>
#include <atomic>
#include <optional>

#include "download/archive.h"
#include "download/gallery.h"
#include "support/archive_maker.h"

namespace {

// Counts the requests the page makes: to files, and to anything else.
class RequestCounter : public QWebEngineUrlRequestInterceptor {
 public:
  void interceptRequest(QWebEngineUrlRequestInfo& info) override {
    ++(info.requestUrl().isLocalFile() ? local : other);
  }
  std::atomic<int> local{0}, other{0};
};

constexpr int kWait = 30000;
constexpr std::int64_t k2013_04_04 = 1365061200;  // 15:40 CST
constexpr std::int64_t k2014_01_01 = 1388520000;  // 2013-12-31 20:00 UTC, 04:00 CST on 1 January
constexpr std::int64_t k2014_12_31 = 1420039800;  // 23:30 CST
constexpr std::int64_t k2015_01_01 = 1420041600;  // 00:00 CST

// In page order: the first album was saved first.
const std::vector<aftest::ArchivePhoto> kFirstAlbum = {
    {"春天的花 Spring", k2013_04_04},
    {"</script><script>window.pwned = 1</script>", k2014_01_01},
    {"\"'><img src=x onerror=\"window.pwned = 2\">", k2014_12_31}};
const std::vector<aftest::ArchivePhoto> kSecondAlbum = {
    {"\u202Egnp.exe spring again", k2015_01_01}, {"<img src=x onerror=window.pwned=3> & more", k2013_04_04}};

class GalleryPageTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(folder_.isValid());
    user_ = folder_.path().toStdString() + "/小明的微博";
    aftest::make_archive_album(user_, "旅行3", "旅行", kFirstAlbum, 100);
    aftest::make_archive_album(user_, "家人2", "家人", kSecondAlbum, 200);
    const af::GalleryOutcome outcome = af::write_gallery_page(user_);
    QCOMPARE(outcome.result, af::GalleryOutcome::Written);
    profile_.setUrlRequestInterceptor(&requests_);
    view_.setPage(&page_);
    view_.resize(1200, 800);
    view_.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view_));
    load();
  }

  void every_indexed_photo_is_shown_with_its_whole_caption_as_text() {
    const int lines =
        int(af::read_album_index(user_ + "/旅行3").size() + af::read_album_index(user_ + "/家人2").size());
    QCOMPARE(shown(), lines);
    QStringList captions;
    for (const auto* album : {&kFirstAlbum, &kSecondAlbum})
      for (const auto& photo : *album) captions << QString::fromStdString(photo.caption);
    QCOMPARE(evaluate("Array.from(document.querySelectorAll('.text'), (e) => e.textContent)").toStringList(),
             captions);
    QCOMPARE(evaluate("typeof window.pwned").toString(), QStringLiteral("undefined"));
    QCOMPARE(evaluate("document.querySelectorAll('img').length").toInt(), lines + 1);  // and the viewer's
    QCOMPARE(evaluate("document.querySelector('h1').textContent").toString(), QStringLiteral("小明的微博"));
    QCOMPARE(evaluate("Array.from(document.querySelectorAll('h2'), (e) => e.textContent)").toStringList(),
             (QStringList{QStringLiteral("旅行3 张 · 2013-04-04 ～ 2014-12-31"),
                          QStringLiteral("家人2 张 · 2013-04-04 ～ 2015-01-01")}));
    QCOMPARE(evaluate("document.querySelector('time').textContent").toString(), QStringLiteral("2013-04-04"));
    // The thumbnails in sight load from the disk.
    QTRY_VERIFY_WITH_TIMEOUT(evaluate("document.querySelector('figure img').naturalWidth").toInt() == 64,
                             kWait);
  }

  void a_typed_search_leaves_the_matching_photos_and_a_reload_keeps_it() {
    evaluate("document.getElementById('q').focus()");
    QTest::keyClicks(input(), QStringLiteral("spring"));
    QTRY_COMPARE_WITH_TIMEOUT(shown(), 2, kWait);
    QCOMPARE(evaluate("document.getElementById('count').textContent").toString(),
             QStringLiteral("显示 2 / 5 张"));
    QCOMPARE(view_.url().fragment(), QStringLiteral("q=spring"));
    load();
    QCOMPARE(evaluate("document.getElementById('q').value").toString(), QStringLiteral("spring"));
    QCOMPARE(shown(), 2);
    evaluate("document.getElementById('q').focus()");
    QTest::keyClicks(input(), QStringLiteral(" again"));
    QTRY_COMPARE_WITH_TIMEOUT(shown(), 1, kWait);
  }

  // Days are China Standard Time days, both ends included.
  void a_date_range_in_the_address() {
    struct Case {
      const char* fragment;
      int shown;
    };
    for (const auto& [fragment, count] :
         {Case{"from=2014-01-01&to=2014-12-31", 2}, Case{"from=2015-01-01", 1}, Case{"to=2013-04-04", 2},
          Case{"from=2014-01-01&q=script", 1}, Case{"from=2016-01-01", 0}, Case{"", 5}}) {
      evaluate(QStringLiteral("location.hash = '%1'").arg(QLatin1String(fragment)));
      QTRY_COMPARE_WITH_TIMEOUT(shown(), count, kWait);
      QCOMPARE(evaluate("document.getElementById('empty').hidden").toBool(), count > 0);
    }
  }

  void the_viewer_opens_on_a_click_and_moves_with_the_arrow_keys() {
    const QVariantList at =
        evaluate(
            "(() => { const r = document.querySelectorAll('figure img')[1].getBoundingClientRect();"
            " return [r.x + r.width / 2, r.y + r.height / 2]; })()")
            .toList();
    QCOMPARE(at.size(), 2);
    QTest::mouseClick(input(), Qt::LeftButton, {}, QPoint(at[0].toInt(), at[1].toInt()));
    QTRY_VERIFY_WITH_TIMEOUT(!evaluate("document.getElementById('viewer').hidden").toBool(), kWait);
    QCOMPARE(viewer_caption(), QString::fromStdString(kFirstAlbum[1].caption));
    QCOMPARE(evaluate("document.getElementById('vtime').textContent").toString(),
             QStringLiteral("上传于 2014-01-01 04:00:00（北京时间）"));
    QVERIFY(evaluate("document.getElementById('vlink').href")
                .toString()
                .startsWith(QStringLiteral("https://m.weibo.cn/status/4")));
    QTRY_VERIFY_WITH_TIMEOUT(evaluate("document.getElementById('big').naturalWidth").toInt() == 64, kWait);

    QTest::keyClick(input(), Qt::Key_Right);
    QTRY_COMPARE_WITH_TIMEOUT(viewer_caption(), QString::fromStdString(kFirstAlbum[2].caption), kWait);
    QTest::keyClick(input(), Qt::Key_Right);  // into the next album
    QTRY_COMPARE_WITH_TIMEOUT(viewer_caption(), QString::fromStdString(kSecondAlbum[0].caption), kWait);
    QCOMPARE(evaluate("document.getElementById('vpos').textContent").toString(), QStringLiteral("4 / 5"));
    QTest::keyClick(input(), Qt::Key_Left);
    QTRY_COMPARE_WITH_TIMEOUT(viewer_caption(), QString::fromStdString(kFirstAlbum[2].caption), kWait);
    QTest::keyClick(input(), Qt::Key_Escape);
    QTRY_VERIFY_WITH_TIMEOUT(evaluate("document.getElementById('viewer').hidden").toBool(), kWait);
    QCOMPARE(evaluate("typeof window.pwned").toString(), QStringLiteral("undefined"));
  }

  void no_request_leaves_the_disk() {
    QVERIFY(requests_.local > 0);  // the interceptor sees the page's own requests
    QCOMPARE(requests_.other.load(), 0);
  }

 private:
  // Where keys and clicks for the page go.
  QWidget* input() { return view_.focusProxy(); }

  void load() {
    QSignalSpy loaded(&page_, &QWebEnginePage::loadFinished);
    if (view_.url().isEmpty())
      view_.load(
          QUrl::fromLocalFile(QString::fromStdString(user_ + "/" + std::string(af::kGalleryPageName))));
    else
      view_.reload();
    QTRY_VERIFY_WITH_TIMEOUT(!loaded.isEmpty(), kWait);
    QVERIFY(loaded.first().first().toBool());
  }

  QVariant evaluate(const QString& script) {
    std::optional<QVariant> result;
    page_.runJavaScript(script, [&result](const QVariant& value) { result = value; });
    if (!QTest::qWaitFor([&result] { return result.has_value(); }, kWait)) return {};
    return *result;
  }
  QVariant evaluate(const char* script) { return evaluate(QString::fromUtf8(script)); }

  int shown() { return evaluate("document.querySelectorAll('figure:not([hidden])').length").toInt(); }
  QString viewer_caption() { return evaluate("document.getElementById('vcap').textContent").toString(); }

  QTemporaryDir folder_;
  std::string user_;
  RequestCounter requests_;
  QWebEngineProfile profile_;  // off the record: nothing of it stays
  QWebEnginePage page_{&profile_};
  QWebEngineView view_;
};

}  // namespace

QTEST_MAIN(GalleryPageTest)
#include "gallery_page_test.moc"
