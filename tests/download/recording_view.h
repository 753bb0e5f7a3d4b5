#pragma once
// RecordingView: a DownloadView that keeps every update in order, for the engine tests.
// Reads answer what the test set; updates may come from any thread.
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "download/download_view.h"

namespace af::testing {

struct ViewEvent {
  enum Kind { Log, Label, Maximum, Position, Fill, Buttons, Message } kind;
  Generation generation = 0;
  DownloadLabel label = DownloadLabel::SelectedAlbums;
  std::string text;
  int value = 0;
  ButtonState buttons = ButtonState::Idle;
};

class RecordingView : public DownloadView {
 public:
  // What the window shows: set by the test before a start.
  std::vector<TickedAlbum> rows;
  std::string save_folder;
  // Set: the save folder as the operator gave it (UTF-8), beyond what GBK holds.
  std::optional<std::string> save_path;
  DateTime start{2006, 3, 30};
  DateTime end{2025, 12, 30};

  std::vector<TickedAlbum> ticked_albums() override { return rows; }
  std::string save_folder_text() override { return save_folder; }
  std::string save_folder_path() override {
    return save_path ? *save_path : DownloadView::save_folder_path();
  }
  DateTime range_start() override { return start; }
  DateTime range_end() override { return end; }

  void append_log(Generation g, const std::string& text) override { add({ViewEvent::Log, g, {}, text}); }
  void set_label(Generation g, DownloadLabel label, const std::string& text) override {
    add({ViewEvent::Label, g, label, text});
  }
  void set_progress_maximum(Generation g, int maximum) override {
    add({ViewEvent::Maximum, g, {}, {}, maximum});
  }
  void set_progress_position(Generation g, int position) override {
    add({ViewEvent::Position, g, {}, {}, position});
  }
  void fill_progress(Generation g) override { add({ViewEvent::Fill, g, {}, {}, 0}); }
  void set_buttons(Generation g, ButtonState state) override {
    add({ViewEvent::Buttons, g, {}, {}, 0, state});
  }
  void show_message(Generation g, const std::string& text) override {
    add({ViewEvent::Message, g, {}, text});
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
  std::vector<ButtonState> button_states() const {
    std::vector<ButtonState> states;
    for (const auto& e : events())
      if (e.kind == ViewEvent::Buttons) states.push_back(e.buttons);
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
  void add(ViewEvent event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  mutable std::mutex mutex_;
  std::vector<ViewEvent> events_;
};

}  // namespace af::testing
