// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Photo list paging: one album's photo list, page by page, as PhotoEntry values.
#include <cstdint>
#include <functional>
#include <string>

#include "core/pacing.h"
#include "service/list_answer.h"
#include "service/model.h"

namespace af {

class Gate;

// The photo list address, byte for byte, with the given __rnd value.
std::string photo_list_address(const ServiceEndpoints& endpoints, const std::string& user_id,
                               const AlbumRef& album, int page, const std::string& rnd);

// Why a walk stopped short: the page that could not be had and the cause in words (GBK).
struct WalkFailure {
  std::int64_t page = 0;
  std::string cause;
  ListProblem problem = ListProblem::None;  // of the page's last answer
  long long retry_after_ms = -1;            // what that answer's Retry-After asked for
};

// The log line for an album whose walk stopped at `failure`, CR LF CR LF at the end.
std::string album_failure_line(const std::string& album_name, const WalkFailure& failure);

struct AlbumWalk {
  ServiceEndpoints endpoints;
  std::string user_id;
  PhotoCount photos;  // as the album list stated it
  AlbumRef album;
  Pacing pacing;
  Gate* gate = nullptr;  // passed before every request and wait; an end stops the walk
  // Out, when supplied: set when a page stayed unusable after its tries. The walk stops
  // there, so the later pages are not walked and no running number shifts.
  WalkFailure* failure = nullptr;
  // The job's slowdown (see Slowdown), when supplied: each page's request waits it first.
  Slowdown* slowdown = nullptr;
};

// Walks the album's pages and calls `on_photo(entry, position)` for each photo, in order;
// position is the photo's 1-based running number in the album. Every item of the pages the
// stated count calls for is handed on (on full pages position is (page - 1) x 100 + index);
// later pages are asked for while a page brings new photos, and only those are handed on.
// A page answer that cannot be used (see fetch_list) is asked for again; when it stays
// unusable the walk stops and says so through `walk.failure`.
// Returns false when the gate ended the walk, true otherwise. `on_photo` returns false to
// stop the walk.
bool walk_album(const AlbumWalk& walk,
                const std::function<bool(const PhotoEntry&, std::int64_t position)>& on_photo);

}  // namespace af
