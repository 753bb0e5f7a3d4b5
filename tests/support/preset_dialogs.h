// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Dialogs for the window tests: answers from a queue filled in advance, and a record of
// everything asked (a notice is recorded as a message), so that nothing modal ever opens.
//
//   auto dialogs = std::make_unique<af::PresetDialogs>();
//   dialogs->answer_folder("/tmp/photos");
//   window.set_dialogs(std::move(dialogs));
#include <QString>
#include <QStringList>
#include <deque>

#include "ui/dialogs.h"

namespace af {

// An unprepared chooser answers "", as a cancel would.
class PresetDialogs final : public Dialogs {
 public:
  struct FolderQuestion {
    QString title;
    QString initial;
  };
  struct Message {
    QString text;
    QString caption;
  };

  void answer_folder(const QString& path) { folder_answers_.push_back(path); }

  QString choose_folder(const QString& title, const QString& initial) override;
  using Dialogs::show_message;
  void show_message(const QString& text, const QString& caption) override;
  void open_folder(const QString& path) override;

  const std::deque<FolderQuestion>& folder_questions() const { return folder_questions_; }
  const std::deque<Message>& messages() const { return messages_; }
  const QStringList& opened_folders() const { return opened_folders_; }

 private:
  std::deque<QString> folder_answers_;
  std::deque<FolderQuestion> folder_questions_;
  std::deque<Message> messages_;
  QStringList opened_folders_;
};

}  // namespace af
