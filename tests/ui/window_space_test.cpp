// SPDX-License-Identifier: GPL-3.0-or-later
// How the window uses the space it is given: the creation size keeps its layout, a
// larger window gives its height to the browser, the album table and the log, and at the
// smallest size no control covers another or loses any part of its caption.
#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <map>

#include "core/paths.h"
#include "ui/page_tabs.h"
#include "window_support.h"

using af::MainWindow;
using af::test::control;

namespace {

// The controls the window names itself (a control's own inner parts have no such name).
bool named_control(const QWidget* widget) {
  const QString name = widget->objectName();
  return !name.isEmpty() && !name.startsWith(QStringLiteral("qt_"));
}

// Captions that are paragraphs, wrapped on purpose in their tall labels.
bool wraps_on_purpose(const QWidget* widget) {
  const QString name = widget->objectName();
  return name == QStringLiteral("标签11") || name == QStringLiteral("标签_banbenjieguo");
}

// Where a control draws: a one-line label only where its caption is (its box may reach
// under the control beside it), any other control its whole box.
QRect drawn_area(const QWidget* widget) {
  const auto* label = qobject_cast<const QLabel*>(widget);
  if (label == nullptr || wraps_on_purpose(widget)) return widget->geometry();
  const QFontMetrics metrics(label->font());
  if (label->text().isEmpty()) return {};
  return {label->x(), label->y(), std::min(metrics.horizontalAdvance(label->text()), label->width()),
          std::min(metrics.height(), label->height())};
}

std::map<QString, QRect> geometry_of_every_control(const MainWindow& window) {
  std::map<QString, QRect> geometry;
  for (QWidget* widget : window.findChildren<QWidget*>()) {
    if (named_control(widget)) geometry[widget->objectName()] = widget->geometry();
  }
  return geometry;
}

// Whether the one-line caption of `widget` fits in it without being cut or wrapped.
bool caption_fits(QWidget* widget, QString* why) {
  const QFontMetrics metrics(widget->font());
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    const QString text = label->text();
    const int needed = metrics.horizontalAdvance(text);
    *why = QStringLiteral("%1 needs %2 of %3").arg(text).arg(needed).arg(label->contentsRect().width());
    return needed <= label->contentsRect().width() && metrics.height() <= label->contentsRect().height();
  }
  if (auto* box = qobject_cast<QCheckBox*>(widget)) {
    QStyleOptionButton option;
    option.initFrom(box);
    option.text = box->text();
    const QRect contents = box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
    const int needed = metrics.horizontalAdvance(box->text());
    *why = QStringLiteral("%1 needs %2 of %3").arg(box->text()).arg(needed).arg(contents.width());
    return needed <= contents.width();
  }
  if (auto* button = qobject_cast<QPushButton*>(widget)) {
    const QStyle* style = button->style();
    const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
    const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
    const int needed = metrics.horizontalAdvance(button->text()) + 2 * (frame + margin);
    *why = QStringLiteral("%1 needs %2 of %3").arg(button->text()).arg(needed).arg(button->width());
    return needed <= button->width() && metrics.height() <= button->height();
  }
  return true;
}

}  // namespace

class WindowSpaceTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir home_;

  static std::unique_ptr<MainWindow> make_window() {
    af::WindowOptions options;
    options.home = QStringLiteral("about:blank");
    auto window = std::make_unique<MainWindow>(options);
    window->show();
    return window;
  }

  static void resize_to(MainWindow& window, int width, int height) {
    window.resize(width, height);
    QTRY_COMPARE(window.size(), QSize(width, height));
  }

 private slots:
  void initTestCase() {
    QVERIFY(home_.isValid());
    af::set_program_directory(home_.path().toStdString());
  }

  // The controls that follow the window's height, and where they stand at the creation
  // size and at 1400 x 900 (the widths from the window's width, the progress bar and the
  // settings frame included, the rest unchanged).
  void table_log_and_browser_take_the_extra_height_data() {
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    const struct {
      const char* name;
      QRect at_creation;
      QRect at_1400_900;
    } rows[] = {
        {"高级选择夹1", {4, 7, 920, 601}, {4, 7, 1380, 863}},
        {"超文本浏览框1", {12, 137, 900, 452}, {12, 137, 1360, 714}},
        {"分组框_liebiao", {8, 164, 900, 426}, {8, 164, 1360, 688}},
        {"超级列表框1", {6, 41, 644, 339}, {6, 41, 1104, 601}},
        {"画板1", {514, 73, 112, 88}, {974, 73, 112, 88}},
        {"分组框_日志", {659, 36, 236, 345}, {1119, 36, 236, 607}},
        {"编辑框_操作记录", {12, 45, 208, 292}, {12, 45, 208, 554}},
        {"标签_进度", {7, 384, 56, 35}, {7, 646, 56, 35}},
        {"进度条1", {74, 389, 280, 24}, {74, 651, 740, 24}},
        {"标签_第多少张照片", {666, 390, 95, 23}, {1126, 652, 95, 23}},
        {"分组框_zhuye", {8, 44, 900, 59}, {8, 44, 1360, 59}},
        {"分组框_weizhi", {8, 104, 900, 50}, {8, 104, 1360, 50}},
        {"分组框7", {16, 49, 876, 544}, {16, 49, 1336, 806}},
        {"分组框_版本", {359, 18, 484, 238}, {359, 18, 484, 238}},
    };
    for (const auto& row : rows) {
      const QString name = QString::fromUtf8(row.name);
      QTest::addRow("%s at 940x638", row.name) << 940 << 638 << name << row.at_creation;
      QTest::addRow("%s at 1400x900", row.name) << 1400 << 900 << name << row.at_1400_900;
    }
  }

  void table_log_and_browser_take_the_extra_height() {
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    auto window = make_window();
    resize_to(*window, width, height);
    QCOMPARE(control(*window, name)->geometry(), geometry);
  }

  void growing_and_back_gives_the_creation_layout_again() {
    auto window = make_window();
    resize_to(*window, MainWindow::kCreationWidth, MainWindow::kCreationHeight);
    const auto at_creation = geometry_of_every_control(*window);
    resize_to(*window, 1400, 900);
    QVERIFY(geometry_of_every_control(*window) != at_creation);
    resize_to(*window, MainWindow::kMinimumWidth, MainWindow::kMinimumHeight);
    resize_to(*window, MainWindow::kCreationWidth, MainWindow::kCreationHeight);
    QCOMPARE(geometry_of_every_control(*window), at_creation);
  }

  void window_is_not_made_smaller_than_its_minimum() {
    auto window = make_window();
    window->resize(320, 240);
    QTRY_COMPARE(window->size(), QSize(MainWindow::kMinimumWidth, MainWindow::kMinimumHeight));
  }

  void no_control_covers_another_or_leaves_its_parent_data() {
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("minimum") << MainWindow::kMinimumWidth << MainWindow::kMinimumHeight;
    QTest::newRow("creation") << MainWindow::kCreationWidth << MainWindow::kCreationHeight;
    QTest::newRow("1400x900") << 1400 << 900;
  }

  void no_control_covers_another_or_leaves_its_parent() {
    QFETCH(int, width);
    QFETCH(int, height);
    auto window = make_window();
    resize_to(*window, width, height);
    for (int index = 0; index < window->tabs()->count(); ++index) {
      QWidget* page = window->tabs()->page(index);
      for (QWidget* widget : page->findChildren<QWidget*>()) {
        if (!named_control(widget) || widget->isHidden()) continue;
        QWidget* parent = widget->parentWidget();
        QVERIFY2(parent->rect().contains(widget->geometry()),
                 qPrintable(widget->objectName() + QStringLiteral(" leaves ") + parent->objectName()));
        for (QWidget* other : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
          if (other == widget || !named_control(other) || other->isHidden()) continue;
          QVERIFY2(!drawn_area(widget).intersects(drawn_area(other)),
                   qPrintable(widget->objectName() + QStringLiteral(" covers ") + other->objectName()));
        }
      }
    }
  }

  void every_caption_fits_on_one_line_data() { no_control_covers_another_or_leaves_its_parent_data(); }

  void every_caption_fits_on_one_line() {
    QFETCH(int, width);
    QFETCH(int, height);
    auto window = make_window();
    resize_to(*window, width, height);
    QStringList cut;
    for (QWidget* widget : window->findChildren<QWidget*>()) {
      if (!named_control(widget) || wraps_on_purpose(widget)) continue;
      QString why;
      if (!caption_fits(widget, &why)) cut << widget->objectName() + QStringLiteral(": ") + why;
    }
    QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral("; "))));
  }

  void the_captions_that_wrapped_keep_their_boxes() {
    // A smaller font, never a larger box: the layout's sizes stay.
    auto window = make_window();
    QCOMPARE(control(*window, QStringLiteral("标签_进度"))->size(), QSize(56, 35));
    QCOMPARE(control(*window, QStringLiteral("标签2"))->size(), QSize(56, 32));
    QCOMPARE(control(*window, QStringLiteral("标签4"))->size(), QSize(56, 32));
    QCOMPARE(control(*window, QStringLiteral("按钮_下载选中"))->size(), QSize(85, 32));
  }
};

QTEST_MAIN(WindowSpaceTest)
#include "window_space_test.moc"
