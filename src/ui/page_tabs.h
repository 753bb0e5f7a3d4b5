// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A tab control whose pages cover the whole control, tab strip included, so that a
// control placed on a page is positioned relative to the tab control itself (the
// window's layout gives every position that way). The strip is drawn above the pages.
#include <QList>
#include <QWidget>

class QTabBar;

namespace af {

class PageTabs : public QWidget {
  Q_OBJECT
 public:
  explicit PageTabs(QWidget* parent = nullptr);

  // Adds a page with `caption` and returns it; controls are created with it as parent.
  QWidget* add_page(const QString& caption);
  int count() const { return static_cast<int>(pages_.size()); }
  int current_index() const;
  void set_current_index(int index);
  QWidget* page(int index) const { return pages_.value(index); }
  QTabBar* tab_bar() const { return bar_; }
  QString caption(int index) const;

 signals:
  void current_changed(int index);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void show_current();
  void place_bar();

  QTabBar* bar_;
  QList<QWidget*> pages_;
};

}  // namespace af
