// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// SampleService: a small stand-in for the photo service, on 127.0.0.1, for tests, the demo
// mode and benchmarks.
//
//   afsample::SampleService service;          // listens on 127.0.0.1, port chosen by the system
//   afsample::SampleUser user = afsample::make_user("1234567890", "/u/1234567890", "Title");
//   user.albums.push_back(afsample::make_album("3558936301234567", "Caption", 12));
//   service.add_user(user);
//   fetch(service.base_url() + "/u/1234567890");  // the home page with the id marker
//
// It answers with the real service's shapes:
//   <home page path>                 HTML with "$CONFIG['oid']='<uid>'" and/or "owner_uid: <uid>,"
//   /albums/get_all?uid=..&count=..  {"result":true,"data":{"album_list":[...],"total":N}}
//   /photos/get_all?uid=&album_id=&count=&page=&type=&__rnd=
//                                    {"result":true,"data":{"photo_list":[...],"total":N}}
//   /large/<pic_name>                JPEG or GIF bytes (distinct per photo)
//   /<uid>/albums/                   an HTML overview of the user's albums
//   /login (GET form, POST sets an HttpOnly login cookie kept for a year), /logout, /
// Every request is recorded (method, raw target, headers) so tests can check addresses
// byte for byte. Faults can be switched on per path. All members are thread-safe.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace afsample {

// What a photo's faulty image answer is (see SamplePhoto::image_fault).
enum class ImageFault {
  Status,         // an HTML error page with `image_fault_status` (403, 404, 418, 429, 500, ...)
  Empty,          // 200 with an empty body
  Text,           // 200 with a short text that is no picture
  Json,           // 200 with a JSON error answer
  LoginPage,      // 200 with the service's login page, as an expired login gets
  LoginRedirect,  // 302 to the service's login page
  CutOff,         // the picture's whole length announced, half of it sent, the connection closed
  CutShort,       // the picture cut short, sent with a correct length for what is sent
  Stall,          // not a byte for `image_fault_delay` (or until the service stops)
  Trickle,        // the picture, one byte every `image_fault_delay`
};

// How a caption is written in the lists' JSON: as \u escapes, or as the raw UTF-8 bytes.
enum class CaptionForm { Escaped, RawUtf8 };

struct SamplePhoto {
  std::string photo_id;  // about 16 digits
  std::int64_t timestamp = 1365000000;
  // Raw JSON of "timestamp" instead of the number (a text, say); "": the member is left out.
  std::optional<std::string> timestamp_json;
  std::string pic_name;  // "abc.jpg" or "abc.gif"; the image lives at /large/<pic_name>
  std::string pic_host;  // empty: the service's own base address
  std::string feed_id;
  std::string caption_render;  // UTF-8
  // How caption_render is sent, as "caption_render" and as "caption".
  CaptionForm caption_form = CaptionForm::Escaped;
  std::size_t image_size = 0;  // bytes of the image answer; 0 = small
  // Image faults: answer `image_fault_status` (404 or 500) for the first
  // `image_fault_times` requests, or for every request when it is -1.
  int image_fault_status = 0;
  int image_fault_times = 0;
  // Another kind of faulty answer for those requests (Status: the error page above).
  ImageFault image_fault = ImageFault::Status;
  std::chrono::milliseconds image_fault_delay{5000};  // Stall: how long; Trickle: per byte
};

enum class PastEnd { Empty, RepeatLast };

struct SampleAlbum {
  std::string album_id;  // about 16 digits
  std::string caption;   // UTF-8
  CaptionForm caption_form = CaptionForm::Escaped;
  // The cover address as sent (escaped slashes added). nullopt: an image of this service,
  // /large/cover_<album_id>.jpg; "": the empty address.
  std::optional<std::string> cover_pic;
  // Raw JSON of the "count" and "type" members; nullopt gives {"photos":<number of photos>}
  // and "18"; the empty text leaves the member out.
  std::optional<std::string> count_json;
  std::optional<std::string> type_json;
  std::vector<SamplePhoto> photos;
  int page_size = 100;  // items per photo list page, whatever "count" asks for
  PastEnd past_end = PastEnd::Empty;
  bool requires_login = false;  // listed and paged only with the session cookie

  int stated_count() const;  // what count_json says, or the number of photos
};

enum class IdMarker { Oid, OwnerUid, EmptyOidThenOwnerUid, OwnerUidWithoutBlank, None };

struct SampleUser {
  std::string uid;
  std::string path;   // the home page path, "/u/<uid>" or "/<name>"
  std::string title;  // UTF-8; empty: no <title> element
  IdMarker marker = IdMarker::Oid;
  std::vector<SampleAlbum> albums;
};

enum class FaultKind {
  Empty,        // 200 with an empty body
  NotJson,      // 200 with a text that is not JSON
  Html,         // 200 with an HTML page
  Redirect,     // 302 to `location`
  NotFound,     // 404
  ServerError,  // 500
  Slow,         // the normal answer after `delay`
  Drop,         // the normal answer's headers and half its body, then the connection closes
  Status,       // `status` (414, 418, 429, ...) with `retry_after` and a short "too frequent"
                // page (432: a page without those words)
  LoginPage,    // 200 with the login page (an expired session's answer)
  Stall,        // the normal answer's headers and a few bytes, then nothing for `delay`
  Trickle,      // the normal answer one byte at a time, `delay` apart
  LoginJson,    // 200 with {"ok":-100,"url":"https://weibo.com/login.php?..."}, an ajax answer
                // that wants a login
};

struct Fault {
  FaultKind kind = FaultKind::Empty;
  std::string path;            // exact request path ("/photos/get_all", "/large/a.jpg")
  std::string query_contains;  // applies only when the raw query holds this text
  int times = -1;              // how many requests it answers; -1 = all
  std::chrono::milliseconds delay{0};
  std::string location;  // for Redirect
  int status = 429;      // for Status
  std::string retry_after = "1";  // for Status: the Retry-After header ("": none)
};

// How the service answers: as it did when the program was designed (Classic), or as it
// does today (Today: script-rendered home pages, a visitor page without a login, paged
// album lists, short photo pages, images that want the service's Referer, rate limits).
// Today's lists and pages:
//   <home page path>      without the session cookie: 302 to /visitor/visitor?...; with it
//                         a page with neither id marker, titled only "微博"
//   /visitor/visitor      the "Sina Visitor System" page
//   /ajax/profile/info?custom=<name> | screen_name=<title> | uid=<uid>
//                         {"ok":1,"data":{"user":{"idstr":..,"screen_name":..}}}
//   /albums/get_all       pages of 20 ("page", default 1) with data.total
//   /photos/get_all       at most 30 items a page
//   lists without the session cookie: 302 to the visitor page; with a session the service
//   does not know (expired): the login page with status 200; a burst: 429 (set_list_burst)
//   /ajax/profile/info without the session cookie: {"ok":-100,"url":<login address>}
// BadDay: as Today, for an address the service has banned after bulk downloads: every
// photo list request answers 418 with a "访问频繁" page and "Retry-After: 7200".
enum class ServiceProfile { Classic, Today, BadDay };

// How the image hosts treat requests, beside each photo's own faults. Unless set, the
// profile decides: Classic none of it; Today a service Referer wanted and a short rate
// limit after every burst of 40 images.
struct ImageRules {
  // 403 unless the Referer is a page of the service (https://weibo.com/... or a subdomain).
  bool want_service_referer = false;
  // After every `burst` image answers, `refusals` answers with `limit_status` (and a
  // Retry-After of `retry_after_seconds` when that is 0 or more). 0: no limit. Counted
  // per request, not per second, so that tests see the same answers on any machine.
  int burst = 0;
  int refusals = 1;
  int limit_status = 429;
  int retry_after_seconds = -1;
};

// The profile of a name as the command lines give it: "classic", "today", "bad-day".
std::optional<ServiceProfile> profile_named(const std::string& name);

struct RecordedRequest {
  std::string method;
  std::string version;  // "HTTP/1.1", "HTTP/1.0"
  std::string target;   // raw request target, path and query, exactly as sent
  std::string path;
  std::string query;  // raw, without "?"
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::chrono::steady_clock::time_point at;  // when the service took it up (after the link's latency)

  std::string header(const std::string& name) const;  // first value, case-insensitive name
  bool has_header(const std::string& name) const;
};

class SampleService {
 public:
  // Starts listening on 127.0.0.1 (port 0: any free port) in a background thread.
  explicit SampleService(int port = 0);
  ~SampleService();
  SampleService(const SampleService&) = delete;
  SampleService& operator=(const SampleService&) = delete;

  int port() const;
  std::string base_url() const;  // "http://127.0.0.1:<port>", no trailing slash
  std::string host() const;      // "127.0.0.1:<port>"

  // Scenario. Users are found by uid (album and photo lists) and by path (home page).
  void add_user(SampleUser user);
  void set_users(std::vector<SampleUser> users);
  void set_profile(ServiceProfile profile);
  ServiceProfile profile() const;
  // Today: after this many list requests in a row, each less than a second after the one
  // before, one list request is answered 429 "too frequent" (0: never). Default 25.
  void set_list_burst(int requests);
  void add_fault(Fault fault);
  void clear_faults();
  // The image hosts' rules instead of the profile's; reset() returns to the profile's.
  void set_image_rules(ImageRules rules);
  ImageRules image_rules() const;
  // The link between client and service (benchmarks): every answer waits `latency` before
  // the service takes up its request, as a far client's round trip; and the bodies of all
  // answers together pass at most `bytes_per_second` (0: no cap). reset() removes both.
  void set_link(std::chrono::milliseconds latency, long long bytes_per_second = 0);
  // Clears users, faults, sessions, image fault counters, image rules, the link and the
  // request record; back to the Classic profile.
  void reset();

  // The session cookie: its name, the credentials the login form accepts and a session
  // value that tests may put into a cookie store directly.
  static constexpr const char* kSessionCookie = "SUB";
  void set_credentials(std::string user, std::string password);
  std::string new_session();

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests_to(const std::string& path) const;
  void clear_requests();
  // The most requests answered at once (the link's latency included) since the last
  // clear_requests() or reset().
  int peak_in_flight() const;
  // The requests whose answers are being made now (a slow fault's among them).
  int in_flight() const;

  // The image answer for a pic_name (what /large/<pic_name> sends when no fault applies).
  std::string image_bytes(const std::string& pic_name) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Scenario builders. Captions and titles are UTF-8.
SampleUser make_user(std::string uid, std::string path, std::string title, IdMarker marker = IdMarker::Oid);
// `photos` photos with ids derived from the album id, names "<photo_id>.jpg" (every
// `gif_every`-th one ".gif" when > 0) and timestamps one hour apart from 1365000000.
SampleAlbum make_album(std::string album_id, std::string caption, int photos, int gif_every = 0);
std::vector<SamplePhoto> make_photos(const std::string& album_id, int count, int gif_every = 0,
                                     int first = 1);

// The demo scenario (demo mode, the executable): one user at "/u/1234567890" (also at
// "/demo") with a few albums, one of them listed only after logging in (demo / demo).
std::vector<SampleUser> demo_users();

// JSON text of `text` (UTF-8): non-ASCII as \u escapes (surrogate pairs above U+FFFF) and
// "/" as "\/", as the real service writes; with raw_utf8 the non-ASCII bytes stay as they are.
std::string json_string(const std::string& text, bool raw_utf8 = false);

}  // namespace afsample
