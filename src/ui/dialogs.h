// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Every exchange with the operator and the desktop outside the window goes through
// Dialogs, so that the window never blocks a test: QtDialogs shows the real chooser,
// message boxes and file manager; tests put in their own answers (tests/support).
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <deque>
#include <memory>

class QFileDialog;

namespace af {

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // A folder chooser (folders only, may offer a new folder) titled `title`, opened at
  // `initial`. Returns the chosen folder's path, or "" on cancel or a non-folder choice.
  virtual QString choose_folder(const QString& title, const QString& initial) = 0;
  // A modal message with one OK button.
  virtual void show_message(const QString& text, const QString& caption) = 0;
  // The same with the program's usual caption "信息：".
  void show_message(const QString& text) { show_message(text, QStringLiteral("信息：")); }
  // A message with one OK button that leaves the window usable; messages that come while
  // one is shown wait for it to be closed and then come one at a time. A message that says
  // again what the one shown or one waiting says takes its place.
  virtual void show_notice(const QString& text, const QString& caption) { show_message(text, caption); }
  // Shows `path` in the desktop's file manager. When no file manager can show it, a
  // notice says so (cannot_open_folder_text).
  virtual void open_folder(const QString& path) = 0;
};

// The narrowest a message box is made, so that a short text leaves its title whole in the
// title bar: at least kMessageBoxMinimumWidth, wider for a long caption.
constexpr int kMessageBoxMinimumWidth = 260;
int message_box_minimum_width(const QString& caption);

// The folder chooser QtDialogs shows: Qt's own, folders only, every text in Chinese.
std::unique_ptr<QFileDialog> make_folder_chooser(QWidget* owner, const QString& title, const QString& initial);

// The notice for a folder that cannot be opened.
QString cannot_open_folder_text(const QString& path);

// The boxes belong to `owner` (the window): they stay above it, close with it, and carry
// only a close button in their title bar.
class QtDialogs final : public Dialogs {
 public:
  explicit QtDialogs(QWidget* owner = nullptr) : owner_(owner) {}
  // Closes the notice shown and drops those waiting.
  ~QtDialogs() override;
  QString choose_folder(const QString& title, const QString& initial) override;
  using Dialogs::show_message;
  void show_message(const QString& text, const QString& caption) override;
  void show_notice(const QString& text, const QString& caption) override;
  // Runs `opener` (xdg-open by default) on the folder without waiting for it; a failure
  // to start or a failing exit brings the notice.
  void open_folder(const QString& path) override;
  void set_folder_opener(const QString& program) { opener_ = program; }

  // The notice shown now, if any, and how many wait behind it.
  QMessageBox* current_notice() const { return current_; }
  int waiting_notices() const { return static_cast<int>(waiting_.size()); }
  // File managers started and not yet ended.
  int running_openers() const { return *running_openers_; }

 private:
  void show_next_notice();

  struct Notice {
    QString text;
    QString caption;
  };
  QMessageBox* make_box(const QString& text, const QString& caption) const;

  QPointer<QWidget> owner_;
  QString opener_ = QStringLiteral("xdg-open");
  QPointer<QMessageBox> current_;
  std::deque<Notice> waiting_;
  // Held by this object only: what outlives it (a notice, a file manager still starting)
  // checks it before calling back.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  std::shared_ptr<int> running_openers_ = std::make_shared<int>(0);
};

}  // namespace af
