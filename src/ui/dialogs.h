#pragma once
// Every modal exchange with the operator and the desktop goes through Dialogs, so that
// the window never blocks a test: QtDialogs shows the real chooser, message boxes and
// file manager; PresetDialogs answers from a queue filled in advance and records what
// was asked.
#include <QString>
#include <QStringList>
#include <deque>

namespace af {

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // A folder chooser (folders only, may offer a new folder) titled `title`, opened at
  // `initial`. Returns the chosen folder's path, or "" on cancel or a non-folder choice.
  virtual QString choose_folder(const QString& title, const QString& initial) = 0;
  // A modal message with one OK button and no owner window.
  virtual void show_message(const QString& text, const QString& caption) = 0;
  // The same with the program's usual caption "信息：".
  void show_message(const QString& text) { show_message(text, QStringLiteral("信息：")); }
  // Shows `path` in the desktop's file manager. A folder that does not exist is the
  // desktop's business (its own error); nothing is reported back.
  virtual void open_folder(const QString& path) = 0;
};

class QtDialogs final : public Dialogs {
 public:
  QString choose_folder(const QString& title, const QString& initial) override;
  using Dialogs::show_message;
  void show_message(const QString& text, const QString& caption) override;
  void open_folder(const QString& path) override;
};

// Answers prepared by a test (or a scripted demo). An unprepared chooser answers "",
// as a cancel would.
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
