// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/terminal_views.h"

#include <unistd.h>

#include <cerrno>

#include "download/photo_saver.h"
#include "util/codepage.h"

namespace af::cli {

namespace {

constexpr int kBarWidth = 30;

// Writes everything; a closed or failing stream is given up quietly.
void write_fd(int fd, const std::string& bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

// The window's CR LF line ends as a terminal's LF.
std::string unix_lines(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

}  // namespace

Terminal::Terminal(bool bar_mode) : bar_mode_(bar_mode) {}

void Terminal::write_err(const std::string& utf8) { write_fd(STDERR_FILENO, utf8); }

void Terminal::clear_bar() {
  if (bar_shown_) write_err("\r\033[K");
}

void Terminal::draw_bar() {
  if (!bar_mode_) return;
  const int filled = maximum_ <= 0 ? kBarWidth
                                   : static_cast<int>(std::min<long long>(
                                         kBarWidth, static_cast<long long>(position_) * kBarWidth /
                                                        maximum_));
  std::string line = "\r";
  if (!heading_.empty()) line += gbk_to_utf8(heading_) + " ";
  line += "[" + std::string(static_cast<std::size_t>(filled), '#') +
          std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "]";
  if (!percentage_.empty()) line += " " + gbk_to_utf8(percentage_);
  if (!counter_.empty()) line += " " + gbk_to_utf8(counter_);
  line += "\033[K";
  write_err(line);
  bar_shown_ = true;
}

void Terminal::plain_progress_line() {
  std::string line;
  if (!heading_.empty()) line += gbk_to_utf8(heading_) + " ";
  line += counter_.empty() ? std::to_string(position_) + "/" + std::to_string(maximum_)
                           : gbk_to_utf8(counter_);
  if (!percentage_.empty()) line += " " + gbk_to_utf8(percentage_);
  write_err(line + "\n");
}

void Terminal::log(const std::string& gbk_text) {
  std::lock_guard lock(mutex_);
  // The bar and the log may share one terminal: the log line goes above the bar.
  clear_bar();
  write_fd(log_fd_, unix_lines(gbk_to_utf8(gbk_text)));
  if (bar_shown_) draw_bar();
}

void Terminal::message(const std::string& gbk_text, const std::string& gbk_caption) {
  std::string caption = gbk_caption.empty() ? G("信息：") : gbk_caption;
  if (!caption.ends_with(G("："))) caption += G("：");
  note(gbk_to_utf8(caption + gbk_text));
}

void Terminal::status(const std::string& gbk_text) { note(gbk_to_utf8(gbk_text)); }

void Terminal::note(const std::string& utf8_text) {
  std::lock_guard lock(mutex_);
  clear_bar();
  write_err(unix_lines(utf8_text) + "\n");
  if (bar_shown_) draw_bar();
}

void Terminal::set_heading(const std::string& gbk_text) {
  std::lock_guard lock(mutex_);
  heading_ = gbk_text;
  if (bar_shown_) draw_bar();
}

void Terminal::set_maximum(int maximum) {
  std::lock_guard lock(mutex_);
  maximum_ = maximum;
}

// Position and percentage come just before the counter of the same photo (or album), which
// draws them all at once.
void Terminal::set_position(int position) {
  std::lock_guard lock(mutex_);
  position_ = position;
}

void Terminal::set_percentage(const std::string& gbk_text) {
  std::lock_guard lock(mutex_);
  percentage_ = gbk_text;
}

void Terminal::set_counter(const std::string& gbk_text) {
  std::lock_guard lock(mutex_);
  counter_ = gbk_text;
  if (bar_mode_) {
    draw_bar();
  } else if (!counter_.empty()) {
    plain_progress_line();
  }
}

void Terminal::finish_progress() {
  std::lock_guard lock(mutex_);
  if (bar_shown_) write_err("\n");
  bar_shown_ = false;
  heading_.clear();
  counter_.clear();
  percentage_.clear();
  maximum_ = 100;
  position_ = 0;
}

std::string limit_note(const ServiceLimit& limit) {
  const std::string when = local_minute_text(limit.retry_at);
  if (limit.problem == ListProblem::Refused)
    return "albumfetcher-cli: the service refuses this program's requests (HTTP 432): nothing more was "
           "asked and nothing saved is lost; log in again in the window's login page (登录), or renew "
           "the cookie file given with --cookies, then run again after " +
           when;
  return "albumfetcher-cli: the service is limiting this machine's requests: nothing more was asked and "
         "nothing saved is lost; run again after " +
         when + " (asking earlier lengthens the limit)";
}

// ---- album list ----

void TerminalAlbumListView::list_started() {
  std::lock_guard lock(mutex_);
  rows_.clear();
}

void TerminalAlbumListView::status(const std::string& text) {
  terminal_.status(text);
  terminal_.set_heading(text);
}

void TerminalAlbumListView::album_found(const AlbumRow& row) {
  std::lock_guard lock(mutex_);
  rows_.push_back(row);
}

// The percentage as the window shows it, and "<album>/<albums>".
void TerminalAlbumListView::list_progress(int position, int maximum) {
  terminal_.set_maximum(maximum);
  terminal_.set_position(position);
  terminal_.set_percentage(percentage_text(position, maximum));
  terminal_.set_counter(std::to_string(position) + "/" + std::to_string(maximum));
}

void TerminalAlbumListView::log(const std::string& text) { terminal_.log(text); }

void TerminalAlbumListView::message(const std::string& text, const std::string& caption) {
  terminal_.finish_progress();
  terminal_.message(text, caption);
}

void TerminalAlbumListView::tell_failure(const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    failure_ = text;
  }
  terminal_.finish_progress();
  terminal_.note("albumfetcher-cli: " + gbk_to_utf8(text));
}

void TerminalAlbumListView::tell_limit(const std::string& failure, const ServiceLimit& limit) {
  tell_failure(failure);
  {
    std::lock_guard lock(mutex_);
    limited_ = true;
  }
  terminal_.log(limit.text + "\r\n\r\n");
  terminal_.note(limit_note(limit));
}

bool TerminalAlbumListView::limited() {
  std::lock_guard lock(mutex_);
  return limited_;
}

std::string TerminalAlbumListView::failure() {
  std::lock_guard lock(mutex_);
  return failure_;
}

std::vector<AlbumRow> TerminalAlbumListView::rows() {
  std::lock_guard lock(mutex_);
  return rows_;
}

// ---- download ----

void TerminalDownloadView::log(Generation, const std::string& text) {
  if (text.starts_with(G("失败"))) {
    std::lock_guard lock(mutex_);
    ++outcome_.failures;
  }
  terminal_.log(text);
}

void TerminalDownloadView::albums_chosen(Generation, std::size_t albums) {
  terminal_.status(albums_chosen_text(albums));
}

void TerminalDownloadView::album_started(Generation, std::size_t album) {
  const std::string text = album_started_text(album);
  terminal_.set_heading(text);
  terminal_.status(text);
}

void TerminalDownloadView::progress(Generation, const PhotoProgress& progress) {
  terminal_.set_position(held_figure(progress.position));
  terminal_.set_percentage(progress_percentage_text(progress));
  if (progress.position == 0)
    terminal_.set_maximum(held_figure(progress.maximum));
  else
    terminal_.set_counter(progress_counter_text(progress));
}

void TerminalDownloadView::album_finished(Generation) { terminal_.set_counter(""); }

void TerminalDownloadView::download_finished(Generation, bool complete) {
  terminal_.set_counter(finished_counter_text(complete));
  terminal_.set_percentage(finished_percentage_text());
}

void TerminalDownloadView::message(Generation, const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    outcome_.finished = true;
  }
  terminal_.finish_progress();
  terminal_.message(text, {});
}

void TerminalDownloadView::warning(Generation, const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    outcome_.finished = true;
  }
  terminal_.finish_progress();
  terminal_.message(text, G("警告："));
}

void TerminalDownloadView::storage_failure(Generation, const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    outcome_.storage_failed = true;
  }
  terminal_.log(text + "\r\n");
  terminal_.finish_progress();
  terminal_.note("albumfetcher-cli: " + gbk_to_utf8(text));
}

void TerminalDownloadView::record_problem(Generation, const std::string& text, bool usable) {
  if (!usable) {
    std::lock_guard lock(mutex_);
    outcome_.record_unusable = true;
  }
  terminal_.log(text + "\r\n");
  terminal_.note("albumfetcher-cli: " + gbk_to_utf8(text));
}

void TerminalDownloadView::service_limited(Generation, const ServiceLimit& limit) {
  {
    std::lock_guard lock(mutex_);
    outcome_.limited = true;
  }
  terminal_.log(limit.text + "\r\n\r\n");
  terminal_.finish_progress();
  terminal_.note(limit_note(limit));
}

void TerminalDownloadView::album_failed(Generation) {
  std::lock_guard lock(mutex_);
  ++outcome_.failures;
}

void TerminalDownloadView::photo_settled(Generation, SaveOutcome outcome) {
  std::lock_guard lock(mutex_);
  switch (outcome) {
    case SaveOutcome::Saved:
    case SaveOutcome::SavedAsIdeographs:
      ++outcome_.tally.saved;
      break;
    case SaveOutcome::Skipped:
      ++outcome_.tally.skipped;
      break;
    case SaveOutcome::FetchFailed:
    case SaveOutcome::WriteFailed:
    case SaveOutcome::StorageFailed:
    case SaveOutcome::GaveUp:
      ++outcome_.tally.failed;
      break;
    default:
      break;
  }
}

TerminalDownloadView::Outcome TerminalDownloadView::outcome() const {
  std::lock_guard lock(mutex_);
  return outcome_;
}

}  // namespace af::cli
