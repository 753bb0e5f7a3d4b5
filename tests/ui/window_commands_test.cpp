// SPDX-License-Identifier: GPL-3.0-or-later
// The operator commands of the window: event map, selection helpers, row selection,
// folder commands, relayout and the version check.
#include <QCheckBox>
#include <QDir>
#include <QImage>
#include <QItemSelectionModel>
#include <QPainter>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTemporaryDir>
#include <QWebEngineView>
#include <algorithm>

#include "core/paths.h"
#include "support/preset_dialogs.h"
#include "ui/album_table.h"
#include "ui/dialogs.h"
#include "ui/page_tabs.h"
#include "ui/qt_text.h"
#include "util/codepage.h"
#include "window_support.h"

using af::AlbumTable;
using af::MainWindow;
using af::PresetDialogs;
using af::test::control;

namespace {

// Records which engine command ran; the GUI-only handlers stay the window's own.
class RecordingWindow : public MainWindow {
 public:
  QStringList calls;
  void get_albums() override { calls << QStringLiteral("get_albums"); }
  void show_user_albums() override { calls << QStringLiteral("show_user_albums"); }
  void start_download() override { calls << QStringLiteral("start_download"); }
  void pause_download() override { calls << QStringLiteral("pause_download"); }
  void continue_download() override { calls << QStringLiteral("continue_download"); }
  void end_download() override { calls << QStringLiteral("end_download"); }
};

// The version checks started before this call (-1 when it cannot tell): it clicks "检查新版本"
// until a click joins every thread started before it (keeps none but its own) with the count
// of finished checks the same just before and after it, which is then the checks started before.
int checks_started(MainWindow& window) {
  auto* check = control<QPushButton>(window, QStringLiteral("按钮_checknew"));
  int clicks = 0, checks = -1;
  const auto settled = [&] {
    const int before = window.version_checks_finished();
    check->click();
    if (window.kept_threads() == 1 && window.version_checks_finished() == before) checks = before - clicks;
    return checks >= 0 || ++clicks == 500;  // a bound on the threads a fault may pile up
  };
  return QTest::qWaitFor(settled, 60000) ? checks : -1;
}

void fill_rows(AlbumTable* table, const QList<bool>& ticks) {
  for (int i = 0; i < ticks.size(); ++i) {
    table->add_album({.serial = i + 1, .caption = af::to_gbk(QStringLiteral("相册%1").arg(i + 1)), .photos = 3},
                     ticks[i]);
  }
}

QList<bool> ticks_of(AlbumTable* table) {
  QList<bool> ticks;
  for (int row = 0; row < table->rowCount(); ++row) ticks << table->row_ticked(row);
  return ticks;
}

QList<int> selected_rows(AlbumTable* table) {
  QList<int> rows;
  for (const QModelIndex& index : table->selectionModel()->selectedRows()) rows << index.row();
  std::sort(rows.begin(), rows.end());
  return rows;
}

QPoint check_box_centre(AlbumTable* table, int row) {
  QStyleOptionViewItem option;
  option.initFrom(table->viewport());
  option.rect = table->visualRect(table->model()->index(row, 0));
  option.features |= QStyleOptionViewItem::HasCheckIndicator;
  option.showDecorationSelected = true;
  return table->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, table).center();
}

}  // namespace

class WindowCommandsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(home_.isValid());
    af::set_program_directory(home_.path().toStdString());
  }

  void every_command_reaches_its_handler() {
    RecordingWindow window;
    const QList<std::pair<const char*, const char*>> map = {
        {"按钮_获取相册封面", "get_albums"},    {"按钮_专辑页面", "show_user_albums"},
        {"按钮_下载选中", "start_download"},    {"按钮_暂停线程", "pause_download"},
        {"按钮_继续下载", "continue_download"}, {"按钮_结束下载", "end_download"},
    };
    for (const auto& [button, handler] : map) {
      window.calls.clear();
      control<QPushButton>(window, QString::fromUtf8(button))->click();
      QCOMPARE(window.calls, QStringList{QString::fromLatin1(handler)});
    }
  }

  void folder_buttons_reach_their_handlers() {
    MainWindow window;
    PresetDialogs* dialogs = af::test::install_preset_dialogs(window);
    control<QPushButton>(window, QStringLiteral("按钮_选择位置"))->click();
    QCOMPARE(dialogs->folder_questions().size(), std::size_t{1});
    control<QPushButton>(window, QStringLiteral("按钮_打开目录"))->click();
    QCOMPARE(dialogs->opened_folders().size(), 1);
  }

  // --- select all and invert ---

  void invert_flips_every_row_and_unticks_select_all() {
    MainWindow window;
    auto* table = window.album_table();
    fill_rows(table, {true, false, true});
    auto* all = control<QCheckBox>(window, QStringLiteral("选择框_全选"));
    auto* invert = control<QCheckBox>(window, QStringLiteral("选择框_反选"));
    all->setChecked(true);
    invert->click();
    QCOMPARE(ticks_of(table), (QList<bool>{false, true, false}));
    QVERIFY(!all->isChecked());
    QVERIFY(invert->isChecked());
    invert->click();  // unticking changes no row
    QVERIFY(!invert->isChecked());
    QCOMPARE(ticks_of(table), (QList<bool>{false, true, false}));
    QVERIFY(selected_rows(table).isEmpty());
  }

  void select_all_on_empty_table_only_unticks_invert() {
    MainWindow window;
    auto* all = control<QCheckBox>(window, QStringLiteral("选择框_全选"));
    auto* invert = control<QCheckBox>(window, QStringLiteral("选择框_反选"));
    invert->setChecked(true);
    all->click();
    QVERIFY(all->isChecked());
    QVERIFY(!invert->isChecked());
    QCOMPARE(window.album_table()->rowCount(), 0);
  }

  void select_all_after_invert_ticks_every_row() {
    MainWindow window;
    auto* table = window.album_table();
    fill_rows(table, {false, true, false, false});
    auto* all = control<QCheckBox>(window, QStringLiteral("选择框_全选"));
    auto* invert = control<QCheckBox>(window, QStringLiteral("选择框_反选"));
    invert->click();
    QCOMPARE(ticks_of(table), (QList<bool>{true, false, true, true}));
    all->click();
    QCOMPARE(ticks_of(table), (QList<bool>{true, true, true, true}));
    QVERIFY(!invert->isChecked());
    all->click();  // unticking select-all leaves the rows
    QCOMPARE(ticks_of(table), (QList<bool>{true, true, true, true}));
    QVERIFY(selected_rows(table).isEmpty());
  }

  // --- row selection ---

  void operator_click_on_check_box_selects_row() {
    MainWindow window;
    window.show();
    window.tabs()->set_current_index(1);
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* table = window.album_table();
    fill_rows(table, {true, true, true});
    QVERIFY(selected_rows(table).isEmpty());
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, check_box_centre(table, 1));
    QCOMPARE(ticks_of(table), (QList<bool>{true, false, true}));
    QCOMPARE(selected_rows(table), QList<int>{1});
    QTest::mouseClick(table->viewport(), Qt::LeftButton, Qt::ControlModifier, check_box_centre(table, 2));
    QCOMPARE(ticks_of(table), (QList<bool>{true, false, false}));
    QVERIFY(selected_rows(table).contains(2));
  }

  void space_bar_ticks_and_selects_current_row() {
    MainWindow window;
    window.show();
    window.tabs()->set_current_index(1);
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* table = window.album_table();
    fill_rows(table, {false, false, false});
    table->setFocus();
    // Focus on a cell of row 2 other than the check box, without selecting anything.
    table->selectionModel()->setCurrentIndex(table->model()->index(2, 2), QItemSelectionModel::NoUpdate);
    QVERIFY(selected_rows(table).isEmpty());
    QTest::keyClick(table, Qt::Key_Space);
    QCOMPARE(ticks_of(table), (QList<bool>{false, false, true}));
    QCOMPARE(selected_rows(table), QList<int>{2});
    table->clearSelection();
    QTest::keyClick(table, Qt::Key_Space);  // unticking selects it as well
    QCOMPARE(ticks_of(table), (QList<bool>{false, false, false}));
    QCOMPARE(selected_rows(table), QList<int>{2});
  }

  // No cell draws a focus box of its own (beside a check box it would frame nothing), and Tab
  // leaves the table rather than walking its cells.
  void cells_draw_no_focus_box_and_tab_leaves_the_table() {
    MainWindow window;
    auto* table = window.album_table();
    fill_rows(table, {true});
    QStyleOptionViewItem option;
    option.initFrom(table->viewport());
    option.rect = QRect(0, 0, table->columnWidth(0), table->rowHeight(0));
    auto drawn = [&](QStyle::State state) {
      QImage image(option.rect.size(), QImage::Format_ARGB32);
      image.fill(Qt::white);
      QPainter painter(&image);
      option.state = QStyle::State_Enabled | state;
      table->itemDelegate()->paint(&painter, option, table->model()->index(0, 0));
      return image;
    };
    QCOMPARE(drawn(QStyle::State_HasFocus), drawn(QStyle::State_None));
    QVERIFY(!table->tabKeyNavigation());
  }

  void program_ticks_select_nothing() {
    MainWindow window;
    auto* table = window.album_table();
    QSignalSpy toggled(table, &AlbumTable::operator_toggled);
    fill_rows(table, {true, false, true});
    table->set_row_ticked(1, true);
    control<QCheckBox>(window, QStringLiteral("选择框_反选"))->click();
    control<QCheckBox>(window, QStringLiteral("选择框_全选"))->click();
    QCOMPARE(toggled.count(), 0);
    QVERIFY(selected_rows(table).isEmpty());
  }

  void select_checked_row_adds_to_selection() {
    MainWindow window;
    auto* table = window.album_table();
    fill_rows(table, {true, true, true});
    window.select_checked_row(0, true);
    window.select_checked_row(2, false);
    QCOMPARE(selected_rows(table), (QList<int>{0, 2}));
    window.select_checked_row(7, true);  // no such row
    QCOMPARE(selected_rows(table), (QList<int>{0, 2}));
    QCOMPARE(ticks_of(table), (QList<bool>{true, true, true}));
  }

  void album_rows_and_covers() {
    MainWindow window;
    auto* table = window.album_table();
    QCOMPARE(
        table->add_album({.serial = 1, .caption = af::to_gbk(QStringLiteral("旅行")), .photos = 12,
                          .album = {"301", "3"}},
                         true),
        0);
    QCOMPARE(table->model()->index(0, 2).data().toString(), QStringLiteral("旅行"));
    QCOMPARE(table->model()->index(0, 5).data().toString(), QStringLiteral("301@@3"));
    QVERIFY(table->row_ticked(0));
    QPixmap cover(80, 60);
    cover.fill(Qt::red);
    table->set_row_cover(0, cover);
    QCOMPARE(table->model()->index(0, 3).data(Qt::DecorationRole).value<QPixmap>().size(), QSize(80, 60));
    QVERIFY(table->rowHeight(0) >= 60);
    table->set_row_cover(5, cover);  // no such row: nothing happens
    QVERIFY(!table->row_ticked(5));
    table->remove_all_rows();
    QCOMPARE(table->rowCount(), 0);
    QCOMPARE(table->columnCount(), 8);
  }

  // --- save folder ---

  void chooser_result_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("shown");
    QTest::newRow("folder") << "/data/photos"
                            << "/data/photos";
    QTest::newRow("trailing separator dropped") << "/data/photos/"
                                                << "/data/photos";
    QTest::newRow("blanks trimmed") << QStringLiteral("  /data/相册\u3000") << QStringLiteral("/data/相册");
    QTest::newRow("root keeps separator") << "/"
                                          << "/";
    QTest::newRow("drive root keeps separator") << "C:\\"
                                                << "C:\\";
    QTest::newRow("drive folder") << "D:\\pics\\"
                                  << "D:\\pics";
    QTest::newRow("inner blanks stay") << "/my photos "
                                       << "/my photos";
  }

  void chooser_result() {
    QFETCH(QString, answer);
    QFETCH(QString, shown);
    MainWindow window;
    PresetDialogs* dialogs = af::test::install_preset_dialogs(window);
    dialogs->answer_folder(answer);
    const QString before = control<QLineEdit>(window, QStringLiteral("编辑框_保存位置"))->text();
    window.choose_save_folder();
    QCOMPARE(control<QLineEdit>(window, QStringLiteral("编辑框_保存位置"))->text(), shown);
    QCOMPARE(dialogs->folder_questions().size(), std::size_t{1});
    QCOMPARE(dialogs->folder_questions()[0].title, QStringLiteral("选择相册的存放位置"));
    // It opens at the save folder the box held.
    QCOMPARE(dialogs->folder_questions()[0].initial, before);
    QCOMPARE(window.initial_folder(), before);
  }

  void chooser_cancel_keeps_the_folder() {
    MainWindow window;
    PresetDialogs* dialogs = af::test::install_preset_dialogs(window);
    auto* box = control<QLineEdit>(window, QStringLiteral("编辑框_保存位置"));
    dialogs->answer_folder(QStringLiteral("/first/choice"));
    window.choose_save_folder();
    QCOMPARE(box->text(), QStringLiteral("/first/choice"));
    dialogs->answer_folder(QString());  // cancel
    window.choose_save_folder();
    QCOMPARE(box->text(), QStringLiteral("/first/choice"));
    dialogs->answer_folder(QStringLiteral(" \u3000 "));  // only blanks: nothing chosen
    window.choose_save_folder();
    QCOMPARE(box->text(), QStringLiteral("/first/choice"));
    box->setText(QStringLiteral("/typed/by/hand"));
    window.choose_save_folder();  // no answer prepared: a cancel
    QCOMPARE(box->text(), QStringLiteral("/typed/by/hand"));
  }

  void chooser_cancel_on_empty_box_leaves_it_empty_and_open_uses_program_directory() {
    MainWindow window;
    PresetDialogs* dialogs = af::test::install_preset_dialogs(window);
    auto* box = control<QLineEdit>(window, QStringLiteral("编辑框_保存位置"));
    box->clear();
    window.choose_save_folder();
    QCOMPARE(box->text(), QString());
    window.open_save_folder();
    QCOMPARE(dialogs->opened_folders(), QStringList{QString::fromStdString(af::program_directory())});
  }

  void open_save_folder_opens_the_box_text() {
    MainWindow window;
    PresetDialogs* dialogs = af::test::install_preset_dialogs(window);
    auto* box = control<QLineEdit>(window, QStringLiteral("编辑框_保存位置"));
    window.open_save_folder();
    box->setText(QStringLiteral("/no/such/folder"));
    window.open_save_folder();
    box->setText(QString());
    control<QPushButton>(window, QStringLiteral("按钮_打开目录"))->click();
    const QString program_directory = QString::fromStdString(af::program_directory());
    // A folder that is not there is said in words instead of going to the file manager.
    QCOMPARE(dialogs->opened_folders(), (QStringList{program_directory, program_directory}));
    QCOMPARE(dialogs->messages().size(), std::size_t{1});
    QCOMPARE(dialogs->messages().front().text,
             af::cannot_open_folder_text(QStringLiteral("/no/such/folder")));
  }

  void messages_go_through_the_dialogs() {
    PresetDialogs dialogs;
    af::Dialogs& any = dialogs;
    any.show_message(QStringLiteral("全部下载完毕"));
    any.show_message(QStringLiteral("text"), QStringLiteral("caption"));
    QCOMPARE(dialogs.messages().size(), std::size_t{2});
    QCOMPARE(dialogs.messages()[0].caption, QStringLiteral("信息："));
    QCOMPARE(dialogs.messages()[0].text, QStringLiteral("全部下载完毕"));
    QCOMPARE(dialogs.messages()[1].caption, QStringLiteral("caption"));
  }

  // --- relayout ---

  void relayout_at_1000() {
    MainWindow window;
    window.resize(1000, 638);
    window.relayout();
    auto x = [&](const char* name) { return control(window, QString::fromUtf8(name))->x(); };
    auto w = [&](const char* name) { return control(window, QString::fromUtf8(name))->width(); };
    QCOMPARE(w("高级选择夹1"), 980);
    QCOMPARE(w("超文本浏览框1"), 960);
    QCOMPARE(x("按钮_专辑页面"), 1000 - 96 - 40);
    QCOMPARE(x("按钮_打开"), 1000 - 96 - 93 - 60);
    QCOMPARE(w("编辑框_url"), 751 - 20);
    QCOMPARE(w("分组框_liebiao"), 960);
    QCOMPARE(w("分组框_weizhi"), 960);
    QCOMPARE(w("分组框_zhuye"), 960);
    QCOMPARE(w("超级列表框1"), 960 - 236 - 20);
    QCOMPARE(x("分组框_日志"), 960 - 236 - 5);
    QCOMPARE(w("编辑框_号码"), 960 - 91 - 85 - 200);
    QCOMPARE(x("按钮_获取相册封面"), 960 - 91 - 85 - 100);
    QCOMPARE(x("按钮_下载选中"), 960 - 85 - 80);
    QCOMPARE(x("按钮_暂停线程"), 795);
    QCOMPARE(x("按钮_继续下载"), 795);
    QCOMPARE(x("按钮_结束下载"), 795 + 85 + 10);
    QCOMPARE(w("编辑框_保存位置"), 584);
    QCOMPARE(x("按钮_选择位置"), 684);
    QCOMPARE(x("按钮_打开目录"), 795);
    // Heights and vertical positions never change; untouched controls stay put.
    QCOMPARE(control(window, QStringLiteral("高级选择夹1"))->geometry(), QRect(4, 7, 980, 601));
    QCOMPARE(control(window, QStringLiteral("超级列表框1"))->geometry(), QRect(6, 41, 704, 339));
    QCOMPARE(control(window, QStringLiteral("分组框_日志"))->geometry(), QRect(719, 36, 236, 345));
    QCOMPARE(control(window, QStringLiteral("编辑框_操作记录"))->geometry(), QRect(12, 45, 208, 292));
    QCOMPARE(control(window, QStringLiteral("标签_第多少张照片"))->geometry(), QRect(666, 390, 95, 23));
  }

  void relayout_follows_size_changes() {
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // Shown at its creation size, the layout already follows the window.
    QTRY_COMPARE(control(window, QStringLiteral("高级选择夹1"))->width(), 920);
    window.resize(1400, 900);
    QTRY_COMPARE(control(window, QStringLiteral("高级选择夹1"))->width(), 1380);
    QCOMPARE(control(window, QStringLiteral("超文本浏览框1"))->width(), 1360);
    QCOMPARE(control(window, QStringLiteral("按钮_结束下载"))->x(), 1360 - 85 - 80 + 85 + 10);
    // The extra height goes to the table (and the browser and the log).
    QCOMPARE(control(window, QStringLiteral("超级列表框1"))->height(), 339 + 900 - 638);
    // The pages follow the tab control.
    QTRY_COMPARE(window.tabs()->page(1)->size(), QSize(1380, 601 + 900 - 638));
  }

  void relayout_too_narrow_clamps_widths() {
    MainWindow window;
    // Below the window's minimum size, as a window manager might still make it.
    window.setMinimumSize(0, 0);
    window.resize(100, 638);
    window.relayout();
    auto x = [&](const char* name) { return control(window, QString::fromUtf8(name))->x(); };
    auto w = [&](const char* name) { return control(window, QString::fromUtf8(name))->width(); };
    QCOMPARE(w("高级选择夹1"), 80);
    QCOMPARE(w("超文本浏览框1"), 60);
    QCOMPARE(x("按钮_专辑页面"), -36);
    QCOMPARE(x("按钮_打开"), -149);
    QCOMPARE(w("编辑框_url"), 0);
    QCOMPARE(w("分组框_zhuye"), 60);
    QCOMPARE(w("超级列表框1"), 0);
    QCOMPARE(x("分组框_日志"), 60 - 236 - 5);
    QCOMPARE(w("编辑框_号码"), 0);
    QCOMPARE(x("按钮_获取相册封面"), 60 - 91 - 85 - 100);
    QCOMPARE(x("按钮_下载选中"), 60 - 85 - 80);
    QCOMPARE(x("按钮_结束下载"), 60 - 85 - 80 + 95);
    QCOMPARE(w("编辑框_保存位置"), 0);
    // Button widths are never changed, so the steps that use them still hold.
    QCOMPARE(w("按钮_下载选中"), 85);
    for (QWidget* widget : window.findChildren<QWidget*>()) QVERIFY(widget->width() >= 0);
    window.resize(5, 638);
    window.relayout();
    QCOMPARE(w("高级选择夹1"), 0);
    QCOMPARE(w("超文本浏览框1"), 0);
    QCOMPARE(w("分组框_liebiao"), 0);
    // Widening again restores the arithmetic.
    window.resize(1000, 638);
    window.relayout();
    QCOMPARE(w("编辑框_url"), 731);
    QCOMPARE(w("超级列表框1"), 704);
  }

  // --- version check ---

  void version_check_starts_once_on_settings_page() {
    MainWindow window;
    QVERIFY(!window.version_check_started());
    window.tabs()->set_current_index(2);
    QVERIFY(window.version_check_started());
    window.tabs()->set_current_index(0);
    window.tabs()->set_current_index(2);
    window.tabs()->set_current_index(1);
    window.tabs()->set_current_index(2);
    QTRY_COMPARE(window.version_checks_finished(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(control<QLabel>(window, QStringLiteral("标签_banben"))->text(), QStringLiteral("1.0"));
    QCOMPARE(control<QLabel>(window, QStringLiteral("标签_zxbanben"))->text(), QStringLiteral("未知"));
    QCOMPARE(control<QLabel>(window, QStringLiteral("标签_banbenjieguo"))->text(),
             af::version_check_outcome(1));
    QCOMPARE(checks_started(window), 1);
  }

  void version_check_never_without_settings_page() {
    MainWindow window;
    for (int page : {1, 0, 1, 0}) window.tabs()->set_current_index(page);
    QVERIFY(!window.version_check_started());
    QCOMPARE(checks_started(window), 0);
    window.on_page_changed(1);
    QVERIFY(!window.version_check_started());
  }

  void check_button_runs_a_check() {
    MainWindow window;
    control<QPushButton>(window, QStringLiteral("按钮_checknew"))->click();
    QTRY_COMPARE(window.version_checks_finished(), 1);
    QVERIFY(!window.version_check_started());
  }

  // Finished checks are joined when the next one starts: clicks do not pile up threads.
  void repeated_checks_keep_no_finished_threads() {
    MainWindow window;
    auto* check = control<QPushButton>(window, QStringLiteral("按钮_checknew"));
    constexpr int kClicks = 20;
    for (int i = 1; i <= kClicks; ++i) {
      check->click();
      QTRY_COMPARE(window.version_checks_finished(), i);
    }
    // A later click joins every thread that has returned: none but its own is kept.
    QCOMPARE(checks_started(window), kClicks);
  }

  // --- text edges ---

  void text_edges() {
    QCOMPARE(af::from_gbk(af::G("全局设置")), QStringLiteral("全局设置"));
    QCOMPARE(af::to_gbk(QStringLiteral("相册")), af::G("相册"));
    // A name shown in the album table comes back whole, emoji, Hangul and 𠮷 included.
    QCOMPARE(af::from_gbk(af::to_gbk(QStringLiteral("猫🐱고양이𠮷"))), QStringLiteral("猫🐱고양이𠮷"));
    QCOMPARE(af::trim_blanks(QStringLiteral("\u3000 a b\t ")), QStringLiteral("a b\t"));
    QCOMPARE(af::folder_path_form(QStringLiteral("//")), QStringLiteral("/"));
    QCOMPARE(af::folder_path_form(QStringLiteral("C:/")), QStringLiteral("C:/"));
  }

  void log_lines_are_appended() {
    MainWindow window;
    window.append_log(QStringLiteral("第一行\r\n\r\n"));
    window.append_log(QStringLiteral("第二行\r\n"));
    QCOMPARE(window.log_box()->toPlainText(), QStringLiteral("第一行\n\n第二行\n"));
  }

 private:
  QTemporaryDir home_;
};

QTEST_MAIN(WindowCommandsTest)
#include "window_commands_test.moc"
