#pragma once
// RecordingAlbumListView: an AlbumListView that keeps every call, in order, for tests.
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

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
  void show_canvas(bool shown) override { note(shown ? "show_canvas" : "hide_canvas", [&] { canvas_shown_ = shown; }); }
  void set_column_width(int column, int width) override {
    note("width " + std::to_string(column) + "=" + std::to_string(width), [&] {
      if (column >= 0 && column < 8) widths_[column] = width;
    });
  }
  void set_status(const std::string& text) override {
    note("status", [&] {
      status_ = text;
      statuses_.push_back(text);
    });
  }
  void clear_rows() override { note("clear_rows", [&] { rows_.clear(); }); }
  void reset_covers() override { note("reset_covers", [] {}); }
  void add_row(const af::AlbumRow& row) override { note("add_row", [&] { rows_.push_back(row); }); }
  void set_progress_maximum(int maximum) override { note("progress_max", [&] { progress_max_ = maximum; }); }
  void set_progress_position(int position) override {
    note("progress_pos", [&] { progress_pos_ = position; });
  }
  void set_progress_label(const std::string& text) override {
    note("progress_label", [&] { progress_labels_.push_back(text); });
  }
  void append_log(const std::string& text) override { note("log", [&] { log_ += text; }); }
  void show_message(const std::string& text, const std::string& caption) override {
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
  int width(int column) const {
    std::lock_guard lock(mutex_);
    return widths_[column];
  }

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
  int widths_[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
};

}  // namespace aftest
