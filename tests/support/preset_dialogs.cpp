// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/preset_dialogs.h"

namespace af {

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
