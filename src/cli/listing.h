// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The listings of albumfetcher-cli on standard output, tab-separated: --list (the album
// table) and --list-photos (the photos a download would save; no image is requested).
#include <string>
#include <vector>

#include "cli/terminal_views.h"
#include "core/gate.h"
#include "core/pacing.h"
#include "download/download_request.h"
#include "service/album_list.h"

namespace af::cli {

// `gbk` as one cell of a table: UTF-8, its tabs and line ends made spaces.
std::string table_cell(const std::string& gbk);

// --list: the album table, one line per album row.
void print_album_table(const std::vector<AlbumRow>& rows);

// --list-photos: the photos that a download of `request`'s albums would save, one line each,
// in the download's order. Returns the program's exit status.
int list_photos(const DownloadRequest& request, const ServiceEndpoints& endpoints, const Pacing& pacing,
                Terminal& terminal, DownloadControl& gate);

}  // namespace af::cli
