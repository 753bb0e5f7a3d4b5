#pragma once
// Helpers shared by the window tests (header only: each test file is its own program).
#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QString>
#include <QTest>
#include <QWidget>

#include "ui/main_window.h"

namespace af::test {

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

}  // namespace af::test
