#pragma once
// Helpers shared by the window tests (header only: each test file is its own program).
#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QString>
#include <QTest>
#include <QWidget>
#include <memory>
#include <string>

#include "core/pacing.h"

#include "ui/dialogs.h"
#include "ui/main_window.h"

namespace af::test {

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

}  // namespace af::test
