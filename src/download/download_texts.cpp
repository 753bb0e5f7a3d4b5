// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/download_texts.h"

#include "util/codepage.h"

namespace af {

std::string storage_failure_text(const std::string& folder, const std::string& cause) {
  return G("保存失败，下载已停止：") + utf8_to_gb18030(folder) + G("，原因：") + cause;
}

std::string nothing_to_download_line(const std::string& numbers) {
  return (numbers.empty() ? G("当前未选择任何相册：请先在相册列表中勾选要下载的相册")
                          : G("选中的相册没有可下载的照片：") + numbers) +
         "\r\n\r\n";
}

std::string chosen_albums_line(const std::string& numbers) {
  return G("当前被选择相册编号:") + numbers + "\r\n\r\n";
}

std::string album_preparing_line(const std::string& name) {
  return G("准备下载相册《") + name + G("》") + "\r\n\r\n";
}

std::string album_done_line(const std::string& name) {
  return G("---完成相册《") + name + G("》下载") + "\r\n\r\n";
}

std::string index_failure_line(const std::string& index_path, const std::string& cause) {
  return G("相册索引写入失败：") + utf8_to_gb18030(index_path) + G("（") + cause + G("）") + "\r\n";
}

std::string gallery_failure_line(const std::string& page_path, const std::string& cause) {
  return G("相册浏览页写入失败：") + utf8_to_gb18030(page_path) + G("（") + cause + G("）") + "\r\n";
}

std::string gallery_page_line(const std::string& page_path) {
  return G("相册浏览页：") + utf8_to_gb18030(page_path) + "\r\n\r\n";
}

std::string all_downloaded_line() { return G("-------全部下载完毕--------") + "\r\n\r\n"; }

std::string finish_summary_line(const std::string& summary, const std::string& advice) {
  return G("-------") + summary + G("-------") + "\r\n" + (advice.empty() ? "" : advice + "\r\n") + "\r\n";
}

std::string folder_renamed_line(const std::string& user_folder, const std::string& from,
                                const std::string& to) {
  return G("相册文件夹已改名：") + utf8_to_gb18030(user_folder + "/" + from) + " -> " +
         utf8_to_gb18030(user_folder + "/" + to) + "\r\n";
}

std::string folder_not_renamed_line(const std::string& user_folder, const std::string& from,
                                    const std::string& cause) {
  return G("相册文件夹无法改名，照片仍保存在：") + utf8_to_gb18030(user_folder + "/" + from) + G("（") +
         cause + G("）") + "\r\n";
}

std::string album_folded_line(const std::string& into, const std::vector<std::string>& others,
                              std::size_t moved, std::size_t duplicates) {
  std::string sources;
  for (const std::string& other : others)
    sources += (sources.empty() ? "" : G("、")) + utf8_to_gb18030(other);
  return G("同一相册的其他文件夹已并入《") + utf8_to_gb18030(into) + G("》：") + sources + G("（移入") +
         std::to_string(moved) + G("张照片，去掉") + std::to_string(duplicates) + G("张重复的照片）") +
         "\r\n";
}

std::string fold_failure_line(const std::string& file) {
  return G("合并相册文件夹时未能移动：") + utf8_to_gb18030(file) + "\r\n";
}

}  // namespace af
