// SPDX-License-Identifier: GPL-3.0-or-later
// The window as created and as start-up leaves it, and the two persistent options.
#include <QApplication>
#include <QCheckBox>
#include <QIcon>
#include <QDateEdit>
#include <QDateTime>
#include <QFile>
#include <QGlyphRun>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSpinBox>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTextLayout>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <memory>

#include "core/paths.h"
#include "core/settings.h"
#include "ui/album_table.h"
#include "ui/page_tabs.h"
#include "util/codepage.h"
#include "window_support.h"

using af::G;
using af::MainWindow;
using af::test::caption_of;
using af::test::control;
using af::test::layout_parent_of;

namespace {

const QString kHelpText = QStringLiteral(
    "关于下载别人设置了密码的相册：首先，你要有该相册访问密码，之后，在上面输入对方主页，点击查看【用户专辑】"
    "按钮。"
    "\r\n\r\n最后找到有密码的专辑点击，输入密码后，进入了有密码的相册。再进行第二步操作。\r\n");

// The settings file as raw bytes (GBK, CR LF).
void write_settings_file(const std::string& bytes) {
  QFile file(QString::fromStdString(af::settings_path()));
  QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

std::string read_settings_file() {
  QFile file(QString::fromStdString(af::settings_path()));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll().toStdString();
}

std::string section_line() { return "[" + G("全局设置") + "]\r\n"; }

// Types `date` into `picker` part by part, the day first, then Enter.
void type_date(QDateEdit* picker, const QDate& date) {
  for (auto [section, text] : {std::pair{QDateTimeEdit::DaySection, QString::asprintf("%02d", date.day())},
                               std::pair{QDateTimeEdit::MonthSection, QString::asprintf("%02d", date.month())},
                               std::pair{QDateTimeEdit::YearSection, QString::number(date.year())}}) {
    picker->setSelectedSection(section);
    QTest::keyClicks(picker, text);
  }
  QTest::keyClick(picker, Qt::Key_Return);
}

// The two date pickers as the operator sees them: "<start> <end>", each marked while greyed.
QString pickers_shown(const MainWindow& window) {
  QStringList shown;
  for (const char* name : {"日期框_开始时间", "日期框_结束时间"}) {
    auto* picker = control<QDateEdit>(window, QString::fromUtf8(name));
    shown << picker->text() + (picker->isEnabled() ? QString() : QStringLiteral("(greyed)"));
  }
  return shown.join(QLatin1Char(' '));
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(home_.isValid());
    af::set_program_directory(home_.path().toStdString());
  }
  void init() { QFile::remove(QString::fromStdString(af::settings_path())); }

  void window_size_and_tab_control() {
    MainWindow window;
    QCOMPARE(window.size(), QSize(940, 638));
    auto* tabs = control<af::PageTabs>(window, QStringLiteral("高级选择夹1"));
    QCOMPARE(tabs->parentWidget(), &window);
    QCOMPARE(tabs->geometry(), QRect(4, 7, 924, 601));
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(tabs->caption(0), QStringLiteral("  第一步：登录   "));
    QCOMPARE(tabs->caption(1), QStringLiteral("    第二步：获取相册   "));
    QVERIFY(tabs->caption(2).startsWith(QStringLiteral("  ")));
    QVERIFY(tabs->caption(2).contains(QStringLiteral("设置")));
    QCOMPARE(tabs->tab_bar()->font().pixelSize(), 16);
    for (int i = 0; i < tabs->count(); ++i) {
      // Pages cover the tab control, so page positions are tab-control positions.
      QCOMPARE(tabs->page(i)->geometry(), QRect(QPoint(0, 0), tabs->size()));
    }
    QCOMPARE(tabs->current_index(), 0);
  }

  void controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");
    auto row = [](const char* name, const char* parent, QRect geometry, const QString& caption) {
      QTest::newRow(name) << QString::fromUtf8(name) << QString::fromUtf8(parent) << geometry << caption;
    };
    const QString none;
    // Login page; start-up widens the address box to 624.
    row("编辑框_url", "高级选择夹1", {12, 59, 624, 32}, QStringLiteral("http://weibo.com"));
    row("按钮_打开", "高级选择夹1", {575, 58, 93, 32}, QStringLiteral("打开"));
    row("按钮_专辑页面", "高级选择夹1", {684, 57, 96, 32}, QStringLiteral("[查看用户专辑]"));
    row("标签11", "高级选择夹1", {13, 95, 783, 42}, kHelpText);
    row("超文本浏览框1", "高级选择夹1", {12, 137, 896, 452}, none);
    // Album page.
    row("分组框_zhuye", "高级选择夹1", {8, 44, 902, 59}, none);
    row("标签1", "分组框_zhuye", {9, 23, 69, 24}, QStringLiteral("1:用户主页："));
    row("编辑框_号码", "分组框_zhuye", {82, 18, 402, 32}, none);
    row("按钮_获取相册封面", "分组框_zhuye", {519, 16, 91, 32}, QStringLiteral("2：获取相册"));
    row("按钮_下载选中", "分组框_zhuye", {640, 16, 85, 32}, QStringLiteral("3：下载选中"));
    row("按钮_暂停线程", "分组框_zhuye", {694, 16, 67, 32}, QStringLiteral("暂停下载"));
    row("按钮_继续下载", "分组框_zhuye", {754, 16, 67, 32}, QStringLiteral("继续下载"));
    row("按钮_结束下载", "分组框_zhuye", {828, 16, 64, 32}, QStringLiteral("结束下载"));
    row("分组框_weizhi", "高级选择夹1", {8, 104, 902, 50}, none);
    row("标签_保存路径", "分组框_weizhi", {8, 12, 112, 32}, QStringLiteral("保存位置："));
    row("按钮_选择位置", "分组框_weizhi", {580, 12, 91, 32}, QStringLiteral("选择存放位置"));
    row("按钮_打开目录", "分组框_weizhi", {693, 12, 79, 32}, QStringLiteral("打开目录"));
    row("分组框_liebiao", "高级选择夹1", {8, 164, 902, 426}, none);
    row("选择框_全选", "分组框_liebiao", {16, 22, 46, 16}, QStringLiteral("全选"));
    row("选择框_反选", "分组框_liebiao", {76, 22, 46, 16}, QStringLiteral("反选"));
    row("选择框_有图", "分组框_liebiao", {142, 21, 134, 16}, QStringLiteral("有封面图(影响速度)"));
    row("标签_动态", "分组框_liebiao", {313, 13, 404, 24}, none);
    row("超级列表框1", "分组框_liebiao", {6, 41, 638, 339}, none);
    row("画板1", "分组框_liebiao", {508, 73, 112, 88}, none);
    row("分组框_日志", "分组框_liebiao", {656, 36, 236, 345}, none);
    row("标签3", "分组框_日志", {8, 12, 88, 19}, QStringLiteral("执行操作日志："));
    row("编辑框_操作记录", "分组框_日志", {12, 45, 208, 292}, none);
    row("标签_进度", "分组框_liebiao", {7, 384, 56, 35}, QStringLiteral("下载进度："));
    row("进度条1", "分组框_liebiao", {74, 389, 280, 24}, none);
    row("标签_进度条比例", "分组框_liebiao", {359, 390, 41, 23}, none);
    row("标签_选择了相册数量", "分组框_liebiao", {404, 390, 144, 23}, none);
    row("标签_正在下载相册", "分组框_liebiao", {554, 390, 110, 23}, none);
    row("标签_第多少张照片", "分组框_liebiao", {666, 390, 95, 23}, none);
    // Settings page.
    row("分组框7", "高级选择夹1", {16, 49, 876, 544}, none);
    row("分组框2", "分组框7", {20, 15, 320, 307}, QStringLiteral("常用设置："));
    row("选择框_下载记录", "分组框2", {24, 58, 240, 20},
        QStringLiteral("开启下载记录（已经下载过的不再下载）"));
    row("选择框_时间段", "分组框2", {24, 97, 240, 16}, QStringLiteral("开启后，只采集下面时间段上传的图片"));
    row("选择框_相册索引", "分组框2", {24, 30, 290, 20},
        QStringLiteral("保存相册索引（完整标题、微博id、上传时间）"));
    row("标签2", "分组框2", {40, 128, 56, 32}, QStringLiteral("开始时间："));
    row("日期框_开始时间", "分组框2", {112, 132, 144, 24}, none);
    row("标签4", "分组框2", {40, 167, 56, 32}, QStringLiteral("结束时间："));
    row("日期框_结束时间", "分组框2", {112, 171, 144, 24}, none);
    row("标签8", "分组框2", {16, 267, 288, 32},
        QStringLiteral("温馨提示：有的微博相册里写的图片总数是不准确的。"));
    row("分组框_版本", "分组框7", {359, 18, 484, 238}, QStringLiteral("软件版本"));
    row("标签_同时下载", "分组框2", {24, 205, 200, 24}, QStringLiteral("同时下载的照片数（1～8）："));
    row("数值框_同时下载", "分组框2", {230, 205, 60, 24}, none);
    row("选择框_相册浏览页", "分组框2", {24, 240, 290, 20}, QStringLiteral("生成相册浏览页"));
  }

  void controls() {
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    MainWindow window;
    QWidget* widget = control(window, name);
    QCOMPARE(layout_parent_of(widget), parent);
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(caption_of(widget), caption);
  }

  void version_group() {
    MainWindow window;
    auto* group = control(window, QStringLiteral("分组框_版本"));
    for (const char* name : {"标签_当前版本", "标签_banben", "标签_xinbanben", "标签_zxbanben",
                             "标签_banbenjieguo", "按钮_checknew"}) {
      QCOMPARE(layout_parent_of(control(window, QString::fromUtf8(name))), group->objectName());
    }
    QCOMPARE(caption_of(control(window, QStringLiteral("标签_当前版本"))), QStringLiteral("当前版本："));
    QCOMPARE(caption_of(control(window, QStringLiteral("标签_xinbanben"))), QStringLiteral("最新版本："));
    QCOMPARE(caption_of(control(window, QStringLiteral("标签_banben"))), QStringLiteral("1.0"));
    QCOMPARE(caption_of(control(window, QStringLiteral("标签_zxbanben"))), QString());
    QCOMPARE(caption_of(control(window, QStringLiteral("标签_banbenjieguo"))), QString());
  }

  void fonts() {
    MainWindow window;
    // The layout's sizes, less where a caption would not fit its box on one line.
    const struct {
      const char* name;
      int pixels;
    } sizes[] = {{"编辑框_号码", 14},   {"按钮_获取相册封面", 13},
                 {"按钮_下载选中", 12}, {"超级列表框1", 14},
                 {"标签_保存路径", 15}, {"标签1", 11},
                 {"标签_进度", 11},     {"标签2", 11},
                 {"标签4", 11}};
    for (const auto& size : sizes) {
      QCOMPARE(control(window, QString::fromUtf8(size.name))->font().pixelSize(), size.pixels);
    }
    QWidget* status = control(window, QStringLiteral("标签_动态"));
    QCOMPARE(status->font().pixelSize(), 12);
    QVERIFY(status->font().bold());
    QCOMPARE(status->palette().color(QPalette::WindowText), QColor(Qt::blue));
    QVERIFY(!control(window, QStringLiteral("标签3"))->font().bold());
  }

  // The window keeps the application's font family (no face that may be missing is named)
  // and its Chinese captions are drawn with real glyphs, the system's fallback supplying
  // the characters the family lacks.
  void fonts_keep_the_application_family_and_draw_chinese() {
    const QFont application = QApplication::font();
    QFont latin_only(QStringLiteral("DejaVu Sans"));
    latin_only.setPointSize(application.pointSize());
    QApplication::setFont(latin_only);
    const QString family = QApplication::font().family();
    {
      MainWindow window;
      for (const char* name : {"编辑框_号码", "标签_保存路径", "标签_动态", "标签3", "按钮_checknew"})
        QCOMPARE(control(window, QString::fromUtf8(name))->font().family(), family);
      QCOMPARE(window.font().family(), family);
      QCOMPARE(window.font().pixelSize(), 12);
      QCOMPARE(window.tabs()->tab_bar()->font().family(), family);

      for (const char* name : {"标签_保存路径", "按钮_下载选中", "选择框_有图"}) {
        QWidget* widget = control(window, QString::fromUtf8(name));
        QTextLayout layout(caption_of(widget), widget->font());
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        int glyphs = 0;
        for (const QGlyphRun& run : layout.glyphRuns()) {
          for (quint32 index : run.glyphIndexes()) {
            QVERIFY2(index != 0, name);  // 0: the font's "missing glyph" box
            ++glyphs;
          }
        }
        QVERIFY(glyphs >= 4);
      }
    }
    QApplication::setFont(application);
  }

  void hidden_at_creation() {
    MainWindow window;
    const QStringList hidden = {QStringLiteral("按钮_暂停线程"), QStringLiteral("按钮_继续下载"),
                                QStringLiteral("按钮_结束下载"), QStringLiteral("画板1")};
    int checked = 0;
    for (QWidget* widget : window.findChildren<QWidget*>()) {
      const QString name = widget->objectName();
      // The window's own controls carry Chinese names; Qt's inner widgets do not.
      if (name.isEmpty() || name.front().unicode() < 0x80 ||
          name.startsWith(QStringLiteral("高级选择夹1_page")))
        continue;
      QCOMPARE(widget->isHidden(), hidden.contains(name));
      ++checked;
    }
    QVERIFY(checked > 40);
  }

  void initial_values() {
    MainWindow window;
    const auto boxes = window.findChildren<QCheckBox*>();
    QCOMPARE(boxes.size(), 7);
    // Covers, the album index and its gallery page start on.
    for (QCheckBox* box : boxes)
      QCOMPARE(box->isChecked(), box->objectName() == QStringLiteral("选择框_有图") ||
                                     box->objectName() == QStringLiteral("选择框_相册索引") ||
                                     box->objectName() == QStringLiteral("选择框_相册浏览页"));
    QCOMPARE(control<QDateEdit>(window, QStringLiteral("日期框_开始时间"))->date(), QDate(2006, 3, 30));
    QCOMPARE(
        control<QDateEdit>(window, QStringLiteral("日期框_结束时间"))->date(),
        std::max(QDate(2025, 12, 30), QDateTime::currentDateTimeUtc().addSecs(8 * 3600).date().addDays(1)));
    QCOMPARE(control<QProgressBar>(window, QStringLiteral("进度条1"))->value(), 0);
    QVERIFY(control<QPlainTextEdit>(window, QStringLiteral("编辑框_操作记录"))->toPlainText().isEmpty());
    QCOMPARE(control<QLineEdit>(window, QStringLiteral("编辑框_号码"))->text(), QString());
  }

  void album_table_columns() {
    MainWindow window;
    auto* table = control<af::AlbumTable>(window, QStringLiteral("超级列表框1"));
    QCOMPARE(table->rowCount(), 0);
    const QStringList headings = {QStringLiteral("选择"),     QStringLiteral("序号"),
                                  QStringLiteral("相册名称"), QStringLiteral("封面"),
                                  QStringLiteral("图片数量"), QStringLiteral("相册ID"),
                                  QStringLiteral("相册问题"), QStringLiteral("相册密码")};
    const int widths[] = {60, 40, 120, 100, 70, 0, 0, 0};
    QCOMPARE(table->columnCount(), 8);
    for (int column = 0; column < 8; ++column) {
      QCOMPARE(table->model()->headerData(column, Qt::Horizontal).toString(), headings[column]);
      QCOMPARE(table->columnWidth(column), widths[column]);
      QVERIFY(table->model()->headerData(column, Qt::Horizontal, Qt::DecorationRole).value<QIcon>().isNull());
    }
    QVERIFY(table->horizontalHeader()->defaultAlignment() & Qt::AlignLeft);
  }

  void save_folder_is_program_directory() {
    const QString program_directory = QString::fromStdString(af::program_directory());
    {
      MainWindow window;
      auto* box = control<QLineEdit>(window, QStringLiteral("编辑框_保存位置"));
      QCOMPARE(box->text(), program_directory);
      box->setText(QStringLiteral("/somewhere/else"));
    }
    MainWindow again;
    QCOMPARE(control<QLineEdit>(again, QStringLiteral("编辑框_保存位置"))->text(), program_directory);
  }

  void browser_profile_is_persistent_beside_program() {
    MainWindow window;
    QWebEngineProfile* profile = window.browser_profile();
    QVERIFY(profile != nullptr);
    QVERIFY(!profile->isOffTheRecord());
    QCOMPARE(profile->persistentStoragePath(), QString::fromStdString(af::program_file("browser")));
    QCOMPARE(window.browser_cookie_store(), profile->cookieStore());
    QCOMPARE(window.browser()->page()->profile(), profile);
  }

  void options_from_command_line() {
    af::WindowOptions options;
    QCOMPARE(options.home, QStringLiteral("http://weibo.com"));
    QCOMPARE(options.service_base, QStringLiteral("http://photo.weibo.com"));
    options.home = QStringLiteral("http://127.0.0.1:1/home");
    options.service_base = QStringLiteral("http://127.0.0.1:1");
    MainWindow window(options);
    QCOMPARE(window.home_address(), options.home);
    QCOMPARE(window.service_base(), options.service_base);
    QCOMPARE(control<QLineEdit>(window, QStringLiteral("编辑框_url"))->text(), options.home);
  }

  // --- the settings file ---

  void no_settings_file_gives_both_off_and_creates_nothing() {
    MainWindow window;
    QVERIFY(!control<QCheckBox>(window, QStringLiteral("选择框_下载记录"))->isChecked());
    QVERIFY(!control<QCheckBox>(window, QStringLiteral("选择框_时间段"))->isChecked());
    QVERIFY(!QFile::exists(QString::fromStdString(af::settings_path())));
    control<QCheckBox>(window, QStringLiteral("选择框_下载记录"))->click();
    window.wait_for_disk_writes();
    QVERIFY(QFile::exists(QString::fromStdString(af::settings_path())));
    QCOMPARE(af::read_setting(af::settings_section(), af::record_key(), "0"), std::string("1"));
  }

  void start_values_data() {
    QTest::addColumn<QString>("record");
    QTest::addColumn<QString>("range");
    QTest::addColumn<bool>("record_on");
    QTest::addColumn<bool>("range_on");
    QTest::newRow("1 and yes") << "1"
                               << "yes" << true << false;
    QTest::newRow("0 and 1") << "0"
                             << "1" << false << true;
    QTest::newRow("both 1") << "1"
                            << "1" << true << true;
    QTest::newRow("empty and 11") << ""
                                  << "11" << false << false;
    QTest::newRow("true and 2") << "true"
                                << "2" << false << false;
  }

  void start_values() {
    QFETCH(QString, record);
    QFETCH(QString, range);
    QFETCH(bool, record_on);
    QFETCH(bool, range_on);
    write_settings_file(section_line() + G("下载记录") + "=" + record.toStdString() + "\r\n" + G("时间段") +
                        "=" + range.toStdString() + "\r\n");
    MainWindow window;
    QCOMPARE(control<QCheckBox>(window, QStringLiteral("选择框_下载记录"))->isChecked(), record_on);
    QCOMPARE(control<QCheckBox>(window, QStringLiteral("选择框_时间段"))->isChecked(), range_on);
  }

  void keys_in_another_section_do_not_count() {
    write_settings_file("[other]\r\n" + G("下载记录") + "=1\r\n" + G("时间段") + "=1\r\n");
    MainWindow window;
    QVERIFY(!control<QCheckBox>(window, QStringLiteral("选择框_下载记录"))->isChecked());
    QVERIFY(!control<QCheckBox>(window, QStringLiteral("选择框_时间段"))->isChecked());
  }

  void each_click_writes_at_once() {
    MainWindow window;
    auto* box = control<QCheckBox>(window, QStringLiteral("选择框_时间段"));
    box->click();
    QVERIFY(box->isChecked());
    window.wait_for_disk_writes();
    QCOMPARE(af::read_setting(af::settings_section(), af::range_key(), "x"), std::string("1"));
    box->click();
    QVERIFY(!box->isChecked());
    window.wait_for_disk_writes();
    QCOMPARE(af::read_setting(af::settings_section(), af::range_key(), "x"), std::string("0"));
    QCOMPARE(af::read_setting(af::settings_section(), af::record_key(), "missing"), std::string("missing"));
    MainWindow next_run;
    QVERIFY(!control<QCheckBox>(next_run, QStringLiteral("选择框_时间段"))->isChecked());
  }

  void album_index_is_on_unless_switched_off() {
    {
      MainWindow window;
      auto* box = control<QCheckBox>(window, QStringLiteral("选择框_相册索引"));
      QVERIFY(box->isChecked());
      QVERIFY(!QFile::exists(QString::fromStdString(af::settings_path())));
      box->click();
      window.wait_for_disk_writes();
      QCOMPARE(af::read_setting(af::settings_section(), af::index_key(), "x"), std::string("0"));
    }
    MainWindow next_run;
    QVERIFY(!control<QCheckBox>(next_run, QStringLiteral("选择框_相册索引"))->isChecked());
    write_settings_file(section_line() + G("相册索引") + "=yes\r\n");
    MainWindow odd_value;
    QVERIFY(!control<QCheckBox>(odd_value, QStringLiteral("选择框_相册索引"))->isChecked());
  }

  // The gallery page is made from the index: its box is greyed while the index is off.
  void gallery_page_is_on_unless_switched_off() {
    {
      MainWindow window;
      auto* box = control<QCheckBox>(window, QStringLiteral("选择框_相册浏览页"));
      auto* index = control<QCheckBox>(window, QStringLiteral("选择框_相册索引"));
      QVERIFY(box->isChecked() && box->isEnabled());
      box->click();
      index->click();
      QVERIFY(!box->isEnabled());
      window.wait_for_disk_writes();
      QCOMPARE(af::read_setting(af::settings_section(), af::gallery_key(), "x"), std::string("0"));
    }
    MainWindow next_run;
    auto* box = control<QCheckBox>(next_run, QStringLiteral("选择框_相册浏览页"));
    QVERIFY(!box->isChecked() && !box->isEnabled());
    control<QCheckBox>(next_run, QStringLiteral("选择框_相册索引"))->click();
    QVERIFY(box->isEnabled());
  }

  void photos_at_once_are_one_unless_changed() {
    {
      MainWindow window;
      auto* box = control<QSpinBox>(window, QStringLiteral("数值框_同时下载"));
      QCOMPARE(box->value(), 1);
      QCOMPARE(box->minimum(), 1);
      QCOMPARE(box->maximum(), 8);
      QVERIFY(!QFile::exists(QString::fromStdString(af::settings_path())));
      box->setValue(4);
      window.wait_for_disk_writes();
      QCOMPARE(af::read_setting(af::settings_section(), af::jobs_key(), "x"), std::string("4"));
      QCOMPARE(af::read_setting(af::settings_section(), af::record_key(), "missing"), std::string("missing"));
    }
    MainWindow next_run;
    QCOMPARE(control<QSpinBox>(next_run, QStringLiteral("数值框_同时下载"))->value(), 4);
    next_run.wait_for_disk_writes();
    QCOMPARE(af::read_setting(af::settings_section(), af::jobs_key(), "x"), std::string("4"));
    // A stored value beyond the range shows held within it, and is not written back.
    write_settings_file(section_line() + G("同时下载") + "=12\r\n");
    MainWindow beyond;
    QCOMPARE(control<QSpinBox>(beyond, QStringLiteral("数值框_同时下载"))->value(), 8);
    beyond.wait_for_disk_writes();
    QCOMPARE(af::read_setting(af::settings_section(), af::jobs_key(), "x"), std::string("12"));
  }

  void a_click_on_record_writes_only_its_key() {
    write_settings_file(section_line() + G("时间段") + "=1\r\n");
    MainWindow window;
    control<QCheckBox>(window, QStringLiteral("选择框_下载记录"))->click();
    window.wait_for_disk_writes();
    QCOMPARE(af::read_setting(af::settings_section(), af::record_key(), "x"), std::string("1"));
    QCOMPARE(af::read_setting(af::settings_section(), af::range_key(), "x"), std::string("1"));
    MainWindow next_run;
    QVERIFY(control<QCheckBox>(next_run, QStringLiteral("选择框_下载记录"))->isChecked());
    QVERIFY(control<QCheckBox>(next_run, QStringLiteral("选择框_时间段"))->isChecked());
  }

  void other_lines_survive_a_write() {
    const std::string before = "; kept comment\r\n[other]\r\nname=value\r\n" + section_line() + G("时间段") +
                               "=0\r\nextra=" + G("中文") + "\r\n";
    write_settings_file(before);
    MainWindow window;
    control<QCheckBox>(window, QStringLiteral("选择框_时间段"))->click();
    window.wait_for_disk_writes();
    const std::string after = read_settings_file();
    for (const std::string& line :
         {std::string("; kept comment\r\n"), std::string("[other]\r\nname=value\r\n"),
          "extra=" + G("中文") + "\r\n", section_line()}) {
      QVERIFY2(after.find(line) != std::string::npos, line.c_str());
    }
    QVERIFY(after.find(G("时间段") + "=1\r\n") != std::string::npos);
    QVERIFY(after.find(G("时间段") + "=0") == std::string::npos);
  }

  // The range as the operator leaves it comes back at the next start. The pickers are
  // greyed while the range is off, and never let the end reach the start: photos pass
  // strictly between the two midnights.
  void range_and_its_dates_survive_a_restart() {
    {
      MainWindow window;
      auto* start = control<QDateEdit>(window, QStringLiteral("日期框_开始时间"));
      auto* end = control<QDateEdit>(window, QStringLiteral("日期框_结束时间"));
      QVERIFY(pickers_shown(window).contains(QStringLiteral("(greyed)")));
      control<QCheckBox>(window, QStringLiteral("选择框_时间段"))->click();
      type_date(end, QDate(2013, 4, 5));
      type_date(start, QDate(2013, 4, 1));
      QCOMPARE(pickers_shown(window), QStringLiteral("2013-04-01 2013-04-05"));
      type_date(end, QDate(2013, 4, 1));
      type_date(start, QDate(2013, 4, 9));
      QCOMPARE(pickers_shown(window), QStringLiteral("2013-04-01 2013-04-05"));
      end->setSelectedSection(QDateTimeEdit::DaySection);
      for (int step = 0; step < 6; ++step) QTest::keyClick(end, Qt::Key_Down);
      QCOMPARE(pickers_shown(window), QStringLiteral("2013-04-01 2013-04-02"));
    }
    QCOMPARE(af::read_setting(af::settings_section(), af::range_start_key(), ""), std::string("2013-04-01"));
    MainWindow next_run;
    QCOMPARE(pickers_shown(next_run), QStringLiteral("2013-04-01 2013-04-02"));
    QCOMPARE(control<QDateEdit>(next_run, QStringLiteral("日期框_开始时间"))->maximumDate(), QDate(2013, 4, 1));
    control<QCheckBox>(next_run, QStringLiteral("选择框_时间段"))->click();
    QCOMPARE(pickers_shown(next_run), QStringLiteral("2013-04-01(greyed) 2013-04-02(greyed)"));
  }

  void program_sets_boxes_without_writing() {
    write_settings_file(section_line() + G("下载记录") + "=1\r\n");
    const std::string before = read_settings_file();
    { MainWindow window; }
    QCOMPARE(read_settings_file(), before);
  }

 private:
  QTemporaryDir home_;
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
