// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Helpers shared by the window tests (header only: each test file is its own program).
#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <memory>
#include <string>

#include "core/pacing.h"
#include "core/paths.h"
#include "http/cookie_store.h"
#include "sample_service.h"
#include "support/preset_dialogs.h"
#include "ui/album_table.h"
#include "ui/main_window.h"

namespace af::test {

// The start of a window test program: `home` as the program directory, no cookies, and a
// running sample service (null when `home` could not be made).
inline std::unique_ptr<afsample::SampleService> start_test_program(const QTemporaryDir& home) {
  if (!home.isValid()) return nullptr;
  af::set_program_directory(home.path().toStdString());
  af::CookieStore::instance().clear();
  return std::make_unique<afsample::SampleService>();
}

// A window whose photo service is the sample service at `base_url`, browser on a blank page.
inline std::unique_ptr<MainWindow> window_on_service(const std::string& base_url, const af::Pacing& pacing) {
  af::WindowOptions options;
  options.home = QStringLiteral("about:blank");
  options.service_base = QString::fromStdString(base_url);
  options.pacing = pacing;
  return std::make_unique<MainWindow>(options);
}

template <typename W = QWidget>
W* control(const MainWindow& window, const QString& name) {
  W* found = window.findChild<W*>(name);
  if (found == nullptr) qFatal("no control named %s", qPrintable(name));
  return found;
}

// The caption of a control of any kind the window uses.
inline QString caption_of(QWidget* widget) {
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
  if (auto* box = qobject_cast<QGroupBox*>(widget)) return box->title();
  return {};
}

// The parent the layout speaks of: a tab page stands for the tab control.
inline QString layout_parent_of(QWidget* widget) {
  QWidget* parent = widget->parentWidget();
  if (parent != nullptr && parent->objectName().startsWith(QStringLiteral("高级选择夹1_page"))) {
    parent = parent->parentWidget();
  }
  return parent == nullptr ? QString() : parent->objectName();
}

// Installs preset dialogs (nothing modal ever opens) and returns them for inspection.
inline PresetDialogs* install_preset_dialogs(MainWindow& window) {
  auto dialogs = std::make_unique<PresetDialogs>();
  PresetDialogs* raw = dialogs.get();
  window.set_dialogs(std::move(dialogs));
  return raw;
}

// The caption of the label with the given name.
inline QString label_text(const MainWindow& window, const QString& name) {
  return control<QLabel>(window, name)->text();
}

// Whether the window shows, of 按钮_下载选中, 按钮_暂停线程, 按钮_继续下载 and
// 按钮_结束下载, exactly the ones marked "1" in `shown` ("1000" is the idle window).
inline QString buttons_shown(const MainWindow& window) {
  QString shown;
  for (const char* name : {"按钮_下载选中", "按钮_暂停线程", "按钮_继续下载", "按钮_结束下载"}) {
    // Hidden by the program itself, whichever page is on top.
    shown += control<QAbstractButton>(window, QString::fromUtf8(name))->isHidden() ? QLatin1Char('0')
                                                                                   : QLatin1Char('1');
  }
  return shown;
}

// The push button with the given name (UTF-8).
inline QPushButton* button(const MainWindow& window, const char* name) {
  return control<QPushButton>(window, QString::fromUtf8(name));
}

// Whether a message box with exactly this text was shown.
inline bool has_message(const PresetDialogs& dialogs, const QString& text) {
  for (const auto& message : dialogs.messages())
    if (message.text == text) return true;
  return false;
}

inline void set_save_folder(MainWindow& window, const QString& folder) {
  control<QLineEdit>(window, QStringLiteral("编辑框_保存位置"))->setText(folder);
}

// Waits until every call posted to the window's thread before this one has run (the
// bridge posts the engine's updates there in order); false when that took over `wait_ms`.
inline bool posted_calls_ran(QObject& receiver, int wait_ms = 60000) {
  auto ran = std::make_shared<bool>(false);
  QMetaObject::invokeMethod(
      &receiver, [ran] { *ran = true; }, Qt::QueuedConnection);
  return QTest::qWaitFor([&] { return *ran; }, wait_ms);
}

// Types `address` into the home page box, clicks "2：获取相册" and waits up to `wait_ms` for
// `rows` rows and the list's closing status.
inline void list_albums_at(MainWindow& window, const std::string& address, int rows, int wait_ms) {
  control<QLineEdit>(window, QStringLiteral("编辑框_号码"))->setText(QString::fromStdString(address));
  button(window, "按钮_获取相册封面")->click();
  QTRY_COMPARE_WITH_TIMEOUT(window.album_table()->rowCount(), rows, wait_ms);
  QTRY_VERIFY_WITH_TIMEOUT(
      label_text(window, QStringLiteral("标签_动态")).startsWith(QStringLiteral("相册列表获取完毕")),
      wait_ms);
}

}  // namespace af::test
