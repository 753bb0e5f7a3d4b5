#include "ui/dialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QUrl>

namespace af {

QString QtDialogs::choose_folder(const QString& title, const QString& initial) {
  return QFileDialog::getExistingDirectory(nullptr, title, initial, QFileDialog::ShowDirsOnly);
}

void QtDialogs::show_message(const QString& text, const QString& caption) {
  QMessageBox box(QMessageBox::Information, caption, text, QMessageBox::Ok);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

QtDialogs::~QtDialogs() {
  alive_.reset();
  waiting_.clear();
  delete current_.data();
}

void QtDialogs::show_notice(const QString& text, const QString& caption) {
  waiting_.push_back({text, caption});
  if (!current_) show_next_notice();
}

void QtDialogs::show_next_notice() {
  if (waiting_.empty()) return;
  const Notice message = waiting_.front();
  waiting_.pop_front();
  auto* box = new QMessageBox(QMessageBox::Information, message.caption, message.text, QMessageBox::Ok);
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
