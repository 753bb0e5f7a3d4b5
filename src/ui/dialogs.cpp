#include "ui/dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
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

void QtDialogs::open_folder(const QString& path) { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }

QString PresetDialogs::choose_folder(const QString& title, const QString& initial) {
  folder_questions_.push_back({title, initial});
  if (folder_answers_.empty()) return {};
  QString answer = folder_answers_.front();
  folder_answers_.pop_front();
  return answer;
}

void PresetDialogs::show_message(const QString& text, const QString& caption) {
  messages_.push_back({text, caption});
}

void PresetDialogs::open_folder(const QString& path) { opened_folders_.push_back(path); }

}  // namespace af
