// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// RecordingAlbumListView: an AlbumListView that keeps every call, in order, for tests.
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "download/download_view.h"
#include "service/album_list.h"

namespace aftest {

class RecordingAlbumListView : public af::AlbumListView {
 public:
  struct Message {
    std::string text;
    std::string caption;
  };

  bool covers_wanted() override {
    std::lock_guard lock(mutex_);
    calls_.push_back("covers_wanted");
    return covers_;
  }
  // Every event is kept by name; the canvas, the progress and its percentage as the window
  // shows them.
  void list_started() override {
    note("list_started", [&] {
      canvas_shown_ = true;
      rows_.clear();
    });
  }
  void list_ended() override {
    note("list_ended", [&] { canvas_shown_ = false; });
  }
  void status(const std::string& text) override {
    note("status", [&] {
      status_ = text;
      statuses_.push_back(text);
    });
  }
  void album_found(const af::AlbumRow& row) override {
    note("album_found", [&] { rows_.push_back(row); });
  }
  void list_progress(int position, int maximum) override {
    note("list_progress", [&] {
      progress_max_ = maximum;
      progress_pos_ = position;
      progress_labels_.push_back(af::percentage_text(position, maximum));
    });
  }
  void log(const std::string& text) override {
    note("log", [&] { log_ += text; });
  }
  void message(const std::string& text, const std::string& caption) override {
    note("message", [&] { messages_.push_back({text, caption}); });
  }

  void set_covers_wanted(bool covers) {
    std::lock_guard lock(mutex_);
    covers_ = covers;
  }

  // Snapshots (the job may still be running on another thread).
  std::vector<af::AlbumRow> rows() const { return locked(rows_); }
  std::string status() const { return locked(status_); }
  std::vector<std::string> statuses() const { return locked(statuses_); }
  std::string log() const { return locked(log_); }
  std::vector<Message> messages() const { return locked(messages_); }
  std::vector<std::string> progress_labels() const { return locked(progress_labels_); }
  std::vector<std::string> calls() const { return locked(calls_); }
  int progress_maximum() const { return locked(progress_max_); }
  int progress_position() const { return locked(progress_pos_); }
  bool canvas_shown() const { return locked(canvas_shown_); }

 private:
  template <typename F>
  void note(const std::string& call, F&& apply) {
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
    apply();
  }
  template <typename T>
  T locked(const T& value) const {
    std::lock_guard lock(mutex_);
    return value;
  }

  mutable std::mutex mutex_;
  bool covers_ = false;
  std::vector<std::string> calls_;
  std::vector<af::AlbumRow> rows_;
  std::string status_;
  std::vector<std::string> statuses_;
  std::string log_;
  std::vector<Message> messages_;
  std::vector<std::string> progress_labels_;
  int progress_max_ = -1;
  int progress_pos_ = -1;
  bool canvas_shown_ = false;
};

}  // namespace aftest
