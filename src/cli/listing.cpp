// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/listing.h"

#include <cstdio>

#include "cli/cli_options.h"
#include "download/archive.h"
#include "download/photo_saver.h"
#include "download/record_store.h"
#include "service/photo_list.h"
#include "service/service_limit.h"
#include "util/codepage.h"

namespace af::cli {

std::string table_cell(const std::string& gbk) {
  std::string text = gbk_to_utf8(gbk);
  for (char& c : text)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return text;
}

void print_album_table(const std::vector<AlbumRow>& rows) {
  std::string table = gbk_to_utf8(G("序号") + "\t" + G("相册名称") + "\t" + G("图片数量")) + "\n";
  for (const AlbumRow& row : rows)
    table += std::to_string(row.serial) + "\t" + table_cell(row.caption) + "\t" + table_cell(row.photos.text) + "\n";
  std::fwrite(table.data(), 1, table.size(), stdout);
  std::fflush(stdout);
}

int list_photos(const DownloadRequest& request, const ServiceEndpoints& endpoints, const Pacing& pacing,
                Terminal& terminal, DownloadControl& gate) {
  DownloadRecord record;
  if (request.record) record.open_record_store(record_store_path(request.user_id));
  const UploadRange range = upload_range(request);
  bool complete = true;
  for (const TickedAlbum& album : request.albums) {
    terminal.note(gbk_to_utf8(G("相册") + std::to_string(album.serial) + " " + album.name));
    WalkFailure failure;
    const AlbumWalk walk{.endpoints = endpoints, .user_id = request.user_id,
                         .photos = album.photos, .album = album.album,
                         .pacing = pacing, .gate = &gate, .failure = &failure};
    std::string lines;
    const bool walked = walk_album(walk, [&](const PhotoEntry& entry, std::int64_t position) {
      if (unwanted_photo(entry, range, request.record, record)) return true;
      const std::optional<std::int64_t> uploaded = upload_time(entry.timestamp);
      lines += std::to_string(position) + "\t" +
               (uploaded ? china_time_text(*uploaded) : table_cell(entry.timestamp)) + "\t" +
               table_cell(entry.image_address) + "\t" + table_cell(entry.caption_full) + "\n";
      return true;
    });
    std::fwrite(lines.data(), 1, lines.size(), stdout);
    std::fflush(stdout);
    if (failure.page > 0 && limits_this_machine(failure.problem)) {
      // Every later album would meet the same limit: nothing more is asked.
      const ServiceLimit limit = lasting_limit(failure.problem, failure.retry_after_ms);
      terminal.note(gbk_to_utf8(album_failure_line(album.name, failure) + limit.text));
      terminal.note(limit_note(limit));
      return kExitTryLater;
    }
    if (failure.page > 0) {
      // The later photos of the album are not listed; the page and the cause are told.
      std::string line = gbk_to_utf8(album_failure_line(album.name, failure));
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      terminal.note(line);
      complete = false;
    }
    if (!walked) complete = false;
  }
  return complete ? kExitSaved : kExitFailed;
}

}  // namespace af::cli
