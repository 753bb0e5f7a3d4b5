// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/download_view.h"

#include <algorithm>

#include "download/photo_saver.h"
#include "util/codepage.h"

namespace af {

namespace {

constexpr int kHighestFigure = 32767;

}  // namespace

int held_figure(std::int64_t value) {
  return static_cast<int>(std::clamp<std::int64_t>(value, 0, kHighestFigure));
}

std::string percentage_text(std::int64_t position, std::int64_t maximum) {
  if (maximum <= 0) return "100%";
  return std::to_string(position * 100 / maximum) + "%";
}

std::string albums_chosen_text(std::size_t albums) {
  return G("总共需下载[") + std::to_string(albums) + G("]个相册");
}

std::string album_started_text(std::size_t album) {
  return G("下载到第[") + std::to_string(album) + G("]个相册");
}

std::string progress_percentage_text(const PhotoProgress& progress) {
  if (progress.position == 0) return "";
  return percentage_text(held_figure(progress.position), held_figure(progress.maximum));
}

std::string progress_counter_text(const PhotoProgress& progress) {
  return std::to_string(held_figure(progress.position)) + "/" + progress.count_text;
}

std::string finished_counter_text(bool complete) { return complete ? G("下载完成") : G("下载结束"); }

std::string finished_percentage_text() { return "100%"; }

std::string paused_text() { return G("已暂停下载"); }
std::string continued_text() { return G("继续下载"); }
std::string ended_text(std::int64_t saved) {
  return G("已结束下载：已保存 ") + std::to_string(saved) + G(" 张");
}

void DownloadTally::add(SaveOutcome outcome) {
  switch (outcome) {
    case SaveOutcome::Saved:
    case SaveOutcome::SavedAsIdeographs: ++saved; break;
    case SaveOutcome::Skipped: ++skipped; break;
    case SaveOutcome::Filtered: ++filtered; break;
    case SaveOutcome::FetchFailed:
    case SaveOutcome::WriteFailed:
    case SaveOutcome::StorageFailed:
    case SaveOutcome::GaveUp: ++failed; break;
    case SaveOutcome::Ended: break;
  }
}

void DownloadTally::add(const DownloadTally& other) {
  saved += other.saved;
  skipped += other.skipped;
  filtered += other.filtered;
  failed += other.failed;
  skipped_elsewhere += other.skipped_elsewhere;
}

bool DownloadTally::complete() const { return failed == 0 && skipped == 0 && filtered == 0; }

std::string left_out_text(const DownloadTally& album) {
  std::string text;
  if (album.skipped > 0) text += G("已跳过") + std::to_string(album.skipped) + G("张（下载记录）") + "\r\n";
  if (album.filtered > 0) text += std::to_string(album.filtered) + G("张不在时间段内") + "\r\n";
  return text;
}

std::string finish_summary_text(const DownloadTally& tally, const std::vector<std::string>& unfinished) {
  std::string summary = G("下载结束：已保存") + std::to_string(tally.saved) + G("张");
  if (tally.skipped > 0) summary += G("，已跳过") + std::to_string(tally.skipped) + G("张（下载记录）");
  if (tally.filtered > 0) summary += G("，") + std::to_string(tally.filtered) + G("张不在时间段内");
  if (tally.failed > 0) summary += G("，失败") + std::to_string(tally.failed) + G("张");
  summary += G("。");
  if (!unfinished.empty()) {
    std::string names;
    for (const std::string& name : unfinished) names += (names.empty() ? "" : G("、")) + G("《") + name + G("》");
    summary += G("没有下载完的相册：") + names + G("，再次下载时会补上缺少的照片。");
  }
  return summary;
}

std::string skipped_elsewhere_text(std::int64_t photos) {
  if (photos <= 0) return {};
  return std::to_string(photos) +
         G("张照片记在下载记录里，却不在这次的相册文件夹中：要再下载它们，请关掉“下载记录”（“第三步：设置”，"
           "或命令行的 --record off）再下载一次，或先用 albumfetcher-cli --verify 保存位置 --repair 把它们从下载记录中去掉。");
}

}  // namespace af
