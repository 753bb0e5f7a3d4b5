// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileSystemModel>
#include <QIdentityProxyModel>
#include <QGridLayout>
#include <QSpacerItem>
#include <QMessageBox>
#include <QProcess>
#include <QUrl>
#include <algorithm>

namespace af {

int message_box_minimum_width(const QString& caption) {
  const QFontMetrics title(QApplication::font());
  return std::max(kMessageBoxMinimumWidth, title.horizontalAdvance(caption) + 160);
}

namespace {

// Qt's Chinese catalogue leaves the kinds of the chooser's 类型 column in English
// ("Folder", "Drive"); files are named by their MIME type's comment, which follows the
// locale already.
class ChineseKinds final : public QFileIconProvider {
 public:
  QString type(const QFileInfo& info) const override {
    if (info.isRoot()) return QStringLiteral("驱动器");
    if (info.isDir()) return QStringLiteral("文件夹");
    return QFileIconProvider::type(info);
  }
};

// The chooser's 修改日期 column follows the system's locale, which may be English: the
// window's dates are "yyyy-MM-dd" whatever the desktop speaks.
class DatesAsInTheWindow final : public QIdentityProxyModel {
 public:
  using QIdentityProxyModel::QIdentityProxyModel;
  QVariant data(const QModelIndex& index, int role) const override {
    auto* files = qobject_cast<QFileSystemModel*>(sourceModel());
    if (files && role == Qt::DisplayRole && index.column() == 3) {
      const QDateTime modified = files->lastModified(mapToSource(index));
      if (modified.isValid()) return modified.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    }
    return QIdentityProxyModel::data(index, role);
  }
};

}  // namespace

std::unique_ptr<QFileDialog> make_folder_chooser(QWidget* owner, const QString& title, const QString& initial) {
  // Qt's own chooser, not the desktop's: it speaks the window's language, whatever the
  // desktop's locale.
  auto chooser = std::make_unique<QFileDialog>(owner, title, initial);
  chooser->setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
  chooser->setFileMode(QFileDialog::Directory);
  static ChineseKinds kinds;
  chooser->setIconProvider(&kinds);
  chooser->setProxyModel(new DatesAsInTheWindow(chooser.get()));
  chooser->resize(760, 440);  // the date column whole
  return chooser;
}

QString QtDialogs::choose_folder(const QString& title, const QString& initial) {
  const std::unique_ptr<QFileDialog> chooser = make_folder_chooser(owner_, title, initial);
  if (chooser->exec() != QDialog::Accepted || chooser->selectedFiles().isEmpty()) return {};
  return chooser->selectedFiles().constFirst();
}

QMessageBox* QtDialogs::make_box(const QString& text, const QString& caption) const {
  // A box that tells of something not done carries the warning icon.
  const QMessageBox::Icon icon =
      caption == QStringLiteral("警告：") ? QMessageBox::Warning : QMessageBox::Information;
  auto* box = new QMessageBox(icon, caption, text, QMessageBox::Ok, owner_);
  box->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  // A short text makes a narrow box, and the window manager then cuts the title to its
  // first character. The box sizes itself from its layout's minimum width, so a spacer
  // keeps it as wide as the title plus the title bar's icon and close button.
  if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
    grid->addItem(new QSpacerItem(message_box_minimum_width(caption), 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
  return box;
}

void QtDialogs::show_message(const QString& text, const QString& caption) {
  std::unique_ptr<QMessageBox> box(make_box(text, caption));
  box->setWindowModality(Qt::ApplicationModal);
  box->exec();
}

QtDialogs::~QtDialogs() {
  alive_.reset();
  waiting_.clear();
  delete current_.data();
}

void QtDialogs::show_notice(const QString& text, const QString& caption) {
  std::erase_if(waiting_, [&](const Notice& n) { return n.text == text && n.caption == caption; });
  if (current_ && current_->text() == text && current_->windowTitle() == caption) {
    // The box shown goes; its going shows the new one in its place.
    waiting_.push_front({text, caption});
    delete current_.data();
    return;
  }
  waiting_.push_back({text, caption});
  if (!current_) show_next_notice();
}

void QtDialogs::show_next_notice() {
  if (waiting_.empty()) return;
  const Notice message = waiting_.front();
  waiting_.pop_front();
  QMessageBox* box = make_box(message.text, message.caption);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  current_ = box;
  // The next waiting notice comes when this one is closed, whichever way.
  QObject::connect(box, &QObject::destroyed, [this, alive = std::weak_ptr<int>(alive_)] {
    if (alive.lock()) show_next_notice();
  });
  box->show();
}

void QtDialogs::open_folder(const QString& path) {
  auto* opener = new QProcess();
  ++*running_openers_;
  // Called once, when the opener has ended or could not start.
  auto ended = [this, opener, notice = cannot_open_folder_text(path), alive = std::weak_ptr<int>(alive_),
                running = running_openers_](bool failed) {
    --*running;
    opener->deleteLater();
    if (failed && alive.lock()) show_notice(notice, QStringLiteral("信息："));
  };
  QObject::connect(opener, &QProcess::errorOccurred, opener, [ended](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) ended(true);
  });
  QObject::connect(opener, &QProcess::finished, opener, [ended](int code, QProcess::ExitStatus status) {
    ended(status != QProcess::NormalExit || code != 0);
  });
  opener->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  opener->start(opener_, {QUrl::fromLocalFile(path).toString()});
}

QString cannot_open_folder_text(const QString& path) { return QStringLiteral("无法打开目录：%1").arg(path); }

}  // namespace af
