// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The engine's events shown on a terminal.
//
// Log lines go to standard output in UTF-8, in call order, each flushed at once, with the
// window's CR LF line ends written as LF. Progress, status texts and message boxes go to
// standard error: a redrawn bar when standard error is a terminal, plain lines otherwise.
// Every member may be called from any thread (the album list job and the download worker
// call from their own threads).
#include <mutex>
#include <string>
#include <vector>

#include "download/download_view.h"
#include "service/album_list.h"

namespace af::cli {

class Terminal {
 public:
  explicit Terminal(bool bar_mode);

  void log(const std::string& gbk_text);
  // Log lines go to standard error instead (standard output then carries a listing only).
  void send_log_to_error() { log_fd_ = 2; }  // before any thread logs
  // A message box as one line: "<caption><text>" (caption "信息：" unless given).
  void message(const std::string& gbk_text, const std::string& gbk_caption);
  // A status text (what the job is doing, how many albums are chosen) as a line of its own.
  void status(const std::string& gbk_text);
  // A plain UTF-8 line on standard error (the program's own notes and errors).
  void note(const std::string& utf8_text);

  // The progress display: the heading (which album), the bar, the counter and percentage.
  void set_heading(const std::string& gbk_text);
  void set_maximum(int maximum);
  void set_position(int position);
  void set_percentage(const std::string& gbk_text);
  // Sets the counter and, in plain mode, prints the progress line when it is not empty.
  void set_counter(const std::string& gbk_text);
  // Ends a bar line on the terminal so that later output starts on a line of its own.
  void finish_progress();

 private:
  void write_err(const std::string& utf8);
  void clear_bar();
  void draw_bar();
  void plain_progress_line();

  std::mutex mutex_;
  bool bar_mode_;
  bool bar_shown_ = false;
  std::string heading_;
  std::string counter_;
  std::string percentage_;
  int maximum_ = 100;
  int position_ = 0;
  int log_fd_ = 1;  // standard output
};

// What standard error says of a limit (UTF-8, no line end): what it is, that nothing
// saved is lost, what to do and when to run again.
std::string limit_note(const ServiceLimit& limit);

// The album table as the terminal keeps it: the rows, and what the job said.
class TerminalAlbumListView final : public AlbumListView {
 public:
  explicit TerminalAlbumListView(Terminal& terminal) : terminal_(terminal) {}

  bool covers_wanted() override { return false; }
  void list_started() override;
  void status(const std::string& text) override;
  void list_progress(int position, int maximum) override;
  void album_found(const AlbumRow& row) override;
  void log(const std::string& text) override;
  void message(const std::string& text, const std::string& caption) override;
  // Said on standard error and kept: the run then ends with status 1.
  void tell_failure(const std::string& text) override;
  // The failure, the limit's log line and limit_note on standard error: the run then ends
  // with status 75.
  void tell_limit(const std::string& failure, const ServiceLimit& limit) override;

  std::vector<AlbumRow> rows();
  std::string failure();
  bool limited();

 private:
  Terminal& terminal_;
  std::mutex mutex_;
  std::vector<AlbumRow> rows_;
  std::string failure_;
  bool limited_ = false;
};

// What the download shows.
class TerminalDownloadView final : public DownloadView {
 public:
  explicit TerminalDownloadView(Terminal& terminal) : terminal_(terminal) {}

  void log(Generation generation, const std::string& text) override;
  void state_changed(Generation, DownloadState) override {}  // the run's end tells it
  void albums_chosen(Generation generation, std::size_t albums) override;
  void album_started(Generation generation, std::size_t album) override;
  void progress(Generation generation, const PhotoProgress& progress) override;
  void album_finished(Generation generation) override;
  void download_finished(Generation generation, bool complete) override;
  void message(Generation generation, const std::string& text) override;
  // The message's line with the caption "警告：".
  void warning(Generation generation, const std::string& text) override;
  // Logged, and said on standard error.
  void storage_failure(Generation generation, const std::string& text) override;
  void record_problem(Generation generation, const std::string& text, bool usable) override;
  // Logged, and limit_note on standard error.
  void service_limited(Generation generation, const ServiceLimit& limit) override;
  void album_failed(Generation generation) override;
  void photo_settled(Generation generation, SaveOutcome outcome) override;

  // Photos by how their turn went.
  struct Tally {
    int saved = 0;
    int skipped = 0;  // by the record
    int failed = 0;
  };
  // What the download has come to so far.
  struct Outcome {
    int failures = 0;  // photos that failed and albums whose photo list stopped short
    bool finished = false;
    bool storage_failed = false;
    bool record_unusable = false;
    bool limited = false;  // the service limited this machine: the download stopped
    Tally tally;
  };
  Outcome outcome() const;

 private:
  Terminal& terminal_;
  mutable std::mutex mutex_;
  Outcome outcome_;
};

}  // namespace af::cli
