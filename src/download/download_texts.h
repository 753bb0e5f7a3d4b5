// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The download worker's own log lines and its storage failure text (GBK). Paths come in
// UTF-8, as the worker holds them; causes and album names in GBK. A "line" ends with its
// CR LF (two where the log leaves a blank line after it).
#include <cstddef>
#include <string>
#include <vector>

namespace af {

// "保存失败，下载已停止：<folder>，原因：<cause>", no line end.
std::string storage_failure_text(const std::string& folder, const std::string& cause);
// "当前未选择任何相册：…" when no album was ticked (`numbers` empty), else "选中的相册没有可下载的
// 照片：<numbers>"; then "当前被选择相册编号:<numbers>" for albums to download.
std::string nothing_to_download_line(const std::string& numbers);
std::string chosen_albums_line(const std::string& numbers);
// "准备下载相册《<name>》" and "---完成相册《<name>》下载".
std::string album_preparing_line(const std::string& name);
std::string album_done_line(const std::string& name);
// "相册索引写入失败：<index path>（<cause>）" and "相册浏览页写入失败：<page path>（<cause>）".
std::string index_failure_line(const std::string& index_path, const std::string& cause);
std::string gallery_failure_line(const std::string& page_path, const std::string& cause);
// "相册浏览页：<page path>", before the finish.
std::string gallery_page_line(const std::string& page_path);
// The finish: "-------全部下载完毕--------", or the summary of what was not complete between
// dashes, followed by the advice when there is one.
std::string all_downloaded_line();
std::string finish_summary_line(const std::string& summary, const std::string& advice);
// An album folder renamed to today's name (`from`, `to`: names in `user_folder`), or left as
// it is for `cause`.
std::string folder_renamed_line(const std::string& user_folder, const std::string& from,
                                const std::string& to);
std::string folder_not_renamed_line(const std::string& user_folder, const std::string& from,
                                    const std::string& cause);
// Folders of the same album folded into `into`: `others` moved from, the photos moved and
// the duplicates dropped; and a file that could not be moved.
std::string album_folded_line(const std::string& into, const std::vector<std::string>& others,
                              std::size_t moved, std::size_t duplicates);
std::string fold_failure_line(const std::string& file);

}  // namespace af
