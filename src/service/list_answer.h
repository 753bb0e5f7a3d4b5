// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One list request (album list or photo list page) with its retries: the page that came
// back, read once, or in words for a person why it could not be used.
//
//   ListFetch fetch{pacing, gate, "photo_list"};
//   ListAnswer answer = fetch_list(address, fetch);
//   if (answer.usable) use(answer.photos); else log(answer.cause);
//
// An answer is usable when it is a JSON object whose "code" (when present) is 0 and whose
// "data" holds the list array (or whose code says 0 explicitly). An empty body, a page
// that is not JSON, an HTML page (a login or visitor page), a status of 400 or more, a
// code other than 0 and an answer cut off are all tried again; answers that ask to slow
// down (414, 418, 429, "too frequent"), refusals (432) and server errors wait longer
// before the next try.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/pacing.h"
#include "service/model.h"

namespace af {

class Gate;
class JsonDocument;

// One album of an album page.
struct ListedAlbum {
  std::string caption;  // escapes decoded
  std::string cover;    // the cover's address
  PhotoCount photos;    // count.photos
  AlbumRef album;
};

struct AlbumPage {
  std::int32_t total = 0;  // data.total, a number or a numeric text; 0 when missing
  std::vector<ListedAlbum> albums;
};

// The page of an album list answer (its root).
AlbumPage read_album_page(const JsonDocument& root);
// One item of a photo list page.
PhotoEntry read_photo_entry(const JsonDocument& item);

// A member of an answer of the service as the program has always read it: the value as
// JSON writes it, without its quote marks. A string reads as itself unless it holds a
// quote mark, a backslash, a slash or a control character, which keep the escapes JSON
// writes for them (`a"b` reads `a\b`, `a/b` reads `a\/b`); a number reads as its digits (a
// fraction with six decimals), a missing or null member as "null".
std::string answer_text(const JsonDocument& value);

enum class ListProblem {
  None,
  Ended,        // the gate ended the job meanwhile
  Transport,    // no answer: refused, unknown host, TLS, stall, deadline, cut off
  Status,       // an HTTP status of 400 or more
  RateLimited,  // 414/418/429 or a page saying requests come too often
  Refused,      // 432: the service takes the client for a robot (a fresh login helps)
  Login,        // an HTML page: the login has expired or never happened
  Empty,        // an empty body
  NotJson,      // a text that is not a JSON list answer
  Code,         // a JSON answer whose code is not 0
};

struct ListAnswer {
  bool usable = false;
  // When usable, the page the answer holds (its body converted from UTF-8 to engine text,
  // GBK/GB18030, and read once): the albums of an "album_list" answer, the photos of a
  // "photo_list" one.
  AlbumPage album_page;
  std::vector<PhotoEntry> photos;
  ListProblem problem = ListProblem::None;
  std::string cause;  // GBK words for a person; empty when usable
  int tries = 0;      // requests made
  // What the last answer's Retry-After asked for, in milliseconds; -1 when it had none.
  long long retry_after_ms = -1;
};

// Whether an answer tells that the service limits or refuses this machine's requests
// (RateLimited, Refused): kept up beyond an album's tries, such answers end the download.
bool limits_this_machine(ListProblem problem);

struct ListFetch {
  Pacing pacing;
  Gate* gate = nullptr;
  std::string list_member;  // "album_list" or "photo_list"
  int tries = 10;           // requests at most
  // Shared by the list requests of one job: waited before the first try, told of every
  // answer (may be null).
  Slowdown* slowdown = nullptr;
};

// Tells whether one answer can be used, and why not. `status` 0 with `failure_cause` not
// empty is a transport failure.
ListAnswer judge_list_answer(int status, const std::string& text, const std::string& list_member,
                             const std::string& failure_cause);

// Fetches `address` (GET, default headers, shared cookie store) until the answer is usable,
// at most `fetch.tries` times: ordinary failures wait the pacing's empty_page_retry,
// answers that ask for patience (and 432) wait retry_wait (growing, Retry-After honoured). Every
// request is bounded by the pacing's request_deadline; the tries stop early when the next
// wait would take the whole beyond the album_give_up limit.
ListAnswer fetch_list(const std::string& address, const ListFetch& fetch);

// The words for the home page answer: empty when it is a page that can be read; else why
// not (transport failure, HTTP error, a limit or refusal as judge_list_answer words it).
std::string describe_page_failure(int status, const std::string& failure_cause);
// What a page answer (home page, profile info) says of this machine: RateLimited (414,
// 418, 429, or an error page saying requests come too often), Refused (432), else None.
ListProblem page_limit(int status, const std::string& text);

// Whether a page (GBK or UTF-8) is a login or visitor page of the service rather than a
// user's page or a list answer.
bool is_login_page(const std::string& page);

// Whether a text is an HTML page.
bool looks_like_html(const std::string& text);

// "服务拒绝了本程序的请求（HTTP 432）".
std::string refusal_cause();

// The advice added to every login problem.
std::string login_advice();

}  // namespace af
