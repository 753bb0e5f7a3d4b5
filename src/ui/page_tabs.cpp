// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/page_tabs.h"

#include <QPainter>
#include <QStyleOptionTabWidgetFrame>
#include <QTabBar>

namespace af {

PageTabs::PageTabs(QWidget* parent) : QWidget(parent), bar_(new QTabBar(this)) {
  bar_->setDrawBase(false);
  bar_->setExpanding(false);
  bar_->setElideMode(Qt::ElideNone);
  connect(bar_, &QTabBar::currentChanged, this, [this](int index) {
    show_current();
    emit current_changed(index);
  });
}

QWidget* PageTabs::add_page(const QString& caption) {
  auto* page = new QWidget(this);
  page->setObjectName(objectName() + QStringLiteral("_page") + QString::number(pages_.size()));
  page->setGeometry(rect());
  pages_.push_back(page);
  bar_->addTab(caption);
  place_bar();
  show_current();
  return page;
}

int PageTabs::current_index() const { return bar_->currentIndex(); }

void PageTabs::set_current_index(int index) { bar_->setCurrentIndex(index); }

QString PageTabs::caption(int index) const { return bar_->tabText(index); }

void PageTabs::show_current() {
  const int current = bar_->currentIndex();
  for (int i = 0; i < pages_.size(); ++i) pages_[i]->setVisible(i == current);
  bar_->raise();
}

void PageTabs::resizeEvent(QResizeEvent*) {
  for (QWidget* page : pages_) page->setGeometry(rect());
  place_bar();
}

void PageTabs::place_bar() {
  bar_->setGeometry(0, 0, qMin(bar_->sizeHint().width(), width()), bar_->sizeHint().height());
  bar_->raise();
}

void PageTabs::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QStyleOptionTabWidgetFrame frame;
  frame.initFrom(this);
  const int top =
      bar_->sizeHint().height() - style()->pixelMetric(QStyle::PM_TabBarBaseOverlap, nullptr, this);
  frame.rect = rect().adjusted(0, top, 0, 0);
  frame.shape = QTabBar::RoundedNorth;
  frame.tabBarSize = bar_->sizeHint();
  frame.tabBarRect = QRect(0, 0, bar_->sizeHint().width(), bar_->sizeHint().height());
  frame.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
  style()->drawPrimitive(QStyle::PE_FrameTabWidget, &frame, &painter, this);
}

}  // namespace af
