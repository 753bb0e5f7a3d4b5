// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// RecordingView: a DownloadView that keeps every event in order, for the engine tests.
// Reads answer what the test set; updates may come from any thread.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/settings.h"
#include "download/download_request.h"
#include "download/download_view.h"
#include "util/codepage.h"

namespace af::testing {

// The four texts a front end shows of a download's progress.
enum class DownloadLabel { SelectedAlbums, CurrentAlbum, PhotoCounter, Percentage };

// What a front end makes of the events, one entry per label text, bar change, state and
// message (as the window shows them; the events themselves are kept by name in calls()).
struct ViewEvent {
  enum Kind { Log, Label, Maximum, Position, Fill, State, Message } kind;
  Generation generation = 0;
  DownloadLabel label = DownloadLabel::SelectedAlbums;
  std::string text;
  int value = 0;
  DownloadState state = DownloadState::Idle;
};

class RecordingView : public DownloadView {
 public:
  // What the window shows: set by the test before a start.
  std::vector<TickedAlbum> rows;
  std::string save_folder;  // UTF-8
  DateTime start{2006, 3, 30};
  DateTime end{2025, 12, 30};

  // The request the window makes of what it shows, with the switches of the settings file
  // as the test last wrote them.
  DownloadRequest request(const std::string& uid, const std::string& title,
                          const SwitchOverrides& overrides = {}) {
    DownloadRequest made = switched_request(load_settings(), overrides, {start, end});
    made.user_id = uid;
    made.user_title = title;
    made.albums = rows;
    made.save_folder = save_folder;
    return made;
  }

  // Set: called with each log text as it comes, on the worker thread.
  std::function<void(const std::string&)> on_log;

  void log(Generation g, const std::string& text) override {
    if (on_log) on_log(text);
    add("log", {{ViewEvent::Log, g, {}, text}});
  }
  void state_changed(Generation g, DownloadState state) override {
    add("state_changed", {{ViewEvent::State, g, {}, {}, 0, state}});
  }
  void albums_chosen(Generation g, std::size_t albums) override {
    add("albums_chosen", {text_of(g, DownloadLabel::SelectedAlbums, albums_chosen_text(albums))});
  }
  void album_started(Generation g, std::size_t album) override {
    add("album_started", {text_of(g, DownloadLabel::CurrentAlbum, album_started_text(album))});
  }
  void progress(Generation g, const PhotoProgress& p) override {
    std::vector<ViewEvent> shown = {text_of(g, DownloadLabel::Percentage, progress_percentage_text(p)),
                                    {ViewEvent::Position, g, {}, {}, held_figure(p.position)}};
    if (p.position == 0)
      shown.push_back({ViewEvent::Maximum, g, {}, {}, held_figure(p.maximum)});
    else
      shown.push_back(text_of(g, DownloadLabel::PhotoCounter, progress_counter_text(p)));
    add("progress", shown);
  }
  void album_finished(Generation g) override {
    add("album_finished", {text_of(g, DownloadLabel::PhotoCounter, "")});
  }
  void album_failed(Generation) override { add("album_failed", {}); }
  void download_finished(Generation g, bool complete) override {
    add("download_finished", {text_of(g, DownloadLabel::PhotoCounter, finished_counter_text(complete)),
                              {ViewEvent::Fill, g, {}, {}, 0},
                              text_of(g, DownloadLabel::Percentage, finished_percentage_text())});
  }
  void message(Generation g, const std::string& text) override {
    add("message", {{ViewEvent::Message, g, {}, text}});
  }
  // Kept among the messages, after the caption "警告：".
  void warning(Generation g, const std::string& text) override {
    add("warning", {{ViewEvent::Message, g, {}, af::G("警告：") + text}});
  }
  void storage_failure(Generation g, const std::string& text) override {
    add("storage_failure", {});
    DownloadView::storage_failure(g, text);
  }
  void record_problem(Generation g, const std::string& text, bool usable) override {
    add("record_problem", {});
    DownloadView::record_problem(g, text, usable);
  }

  // The bar as something else left it before a download (the album list).
  void set_bar(int maximum, int position) {
    add("set_bar", {{ViewEvent::Maximum, kControllerGeneration, {}, {}, maximum},
                    {ViewEvent::Position, kControllerGeneration, {}, {}, position}});
  }
  // The events by name, in order.
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  std::vector<ViewEvent> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::size_t event_count() const {
    std::lock_guard lock(mutex_);
    return events_.size();
  }
  void clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
    calls_.clear();
  }
  // The whole log box, as appended.
  std::string log() const {
    std::string text;
    for (const auto& e : events())
      if (e.kind == ViewEvent::Log) text += e.text;
    return text;
  }
  // Every text the label showed, in order.
  std::vector<std::string> label_texts(DownloadLabel label) const {
    std::vector<std::string> texts;
    for (const auto& e : events())
      if (e.kind == ViewEvent::Label && e.label == label) texts.push_back(e.text);
    return texts;
  }
  std::string label(DownloadLabel which) const {
    auto texts = label_texts(which);
    return texts.empty() ? std::string() : texts.back();
  }
  std::vector<DownloadState> states() const {
    std::vector<DownloadState> states;
    for (const auto& e : events())
      if (e.kind == ViewEvent::State) states.push_back(e.state);
    return states;
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> texts;
    for (const auto& e : events())
      if (e.kind == ViewEvent::Message) texts.push_back(e.text);
    return texts;
  }
  int last(ViewEvent::Kind kind, int fallback = -1) const {
    int value = fallback;
    for (const auto& e : events())
      if (e.kind == kind) value = e.value;
    return value;
  }

 private:
  static ViewEvent text_of(Generation g, DownloadLabel which, std::string text) {
    return {ViewEvent::Label, g, which, std::move(text)};
  }
  void add(const std::string& call, std::vector<ViewEvent> shown) {
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
    for (auto& event : shown) events_.push_back(std::move(event));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<ViewEvent> events_;
};

}  // namespace af::testing
