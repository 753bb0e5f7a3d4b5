// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The transports (pages, photos, the album table's covers): one complete HTTP exchange per
// call, answered with one Response. A failed exchange gives an empty body and its cause;
// nothing is thrown or shown.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/pacing.h"
#include "http/http_session.h"

namespace af {

class Gate;
class TransferGroup;

// Why an exchange brought no usable answer. An answer with any status is `None`: the
// status says the rest.
enum class FetchFailure {
  None,
  BadAddress,   // no host to connect to, or a scheme other than http and https
  UnknownHost,  // the host name could not be resolved
  Refused,      // the connection was refused or could not be made
  Tls,          // the secure connection failed (handshake, certificate)
  Stalled,      // nothing arrived for longer than the time allowed without progress
  Deadline,     // the whole exchange took longer than its deadline
  CutOff,       // the answer broke off before it was complete
  Ended,        // the job was ended meanwhile
  Other,        // any other transport failure
};

// One exchange: the final answer (status, header lines, body, moved and never copied) or,
// for an exchange that brought none, the cause in the transport's own words.
struct Response {
  FetchFailure failure = FetchFailure::None;
  int status = 0;       // the final answer's status; 0 when none came
  std::string headers;  // the final answer's header lines (fetch_page: status line first)
  std::string detail;   // the transport's own words for a failure (ASCII)
  std::string body{};
  std::string cookies{};  // what the answer set: "a=1; b=2" (timed: no blanks); see merge_cookies

  bool answered() const { return failure == FetchFailure::None && status != 0; }
};

// The response in words for a person (GBK): the cause of a failure, or the HTTP status of
// an answer; the empty text for an answer with status 200.
std::string describe_outcome(const Response& response);

// The value of the first header line called `name` (any letter case) in a response
// header block, blanks trimmed; empty when there is none.
std::string response_header(std::string_view block, std::string_view name);

// The longest a request may take, whatever the server sends, unless its caller says
// otherwise (0 = no limit). A pause of the gate is not counted.
inline constexpr long kDefaultRequestDeadlineMs = Pacing{}.request_deadline.count();

// What both transports send besides the address.
struct Request {
  HttpMethod method = HttpMethod::Get;
  std::string body_text;  // the body when body_bytes is empty (fetch_page: POST and HEAD only)
  std::string body_bytes;
  std::optional<std::string> cookie_jar;  // given: it alone is sent, the CookieStore left out
  std::string headers;                    // completed with the usual lines before it goes out
  bool no_redirect = false;
  std::string proxy;     // host:port, empty = direct
  Gate* gate = nullptr;  // held while paused, aborted when ended
};

struct PageRequest : Request {
  long deadline_ms = kDefaultRequestDeadlineMs;  // whole exchange; 0 = no limit
};

// Without a caller's jar the request uses the process-wide CookieStore. The request line
// carries url_path(address) byte for byte; port 0 means the scheme's own port. An answer
// that breaks off is returned as far as it arrived.
Response fetch_page(const std::string& address, const PageRequest& request = {});

enum class ProxySetting { Default, Direct, Named };
enum class CredentialsFor { Server, Proxy };

// The request object of the timed transport: the members of the Windows request object,
// each failing silently. A caller may keep one and pass it to several calls, which then
// reuse its connection.
//
// Like the object it stands in for, it has a cookie engine of its own: cookies its answers
// set are sent with its later requests for as long as the object lives. It does not use
// the process-wide CookieStore, so image hosts never see the login cookies.
//
// Timeouts (milliseconds, 0 = none): resolve and connect bound the connection set-up
// together; send and receive bound the time without progress while the request goes out
// and while the answer is awaited or read, a pause of the gate not counted. The defaults
// are the object's own: resolve none, connect 60 s, send 30 s, receive 30 s.
//
// open() accepts only an "http://" or "https://" address (any letter case); with any
// other the request is not opened and send() does nothing. Requests are always
// synchronous.
//
// send() counts only a whole answer: one that breaks off (fewer body bytes than announced,
// a chunked body cut short) or a redirect chain longer than 10 leaves no body, no headers
// and status 0, as a send that got no answer at all.
class RequestObject {
 public:
  // Certificate problems a request may be told to ignore (or-ed together).
  enum CertificateProblem : long {
    kUnknownAuthority = 0x100,
    kWrongUsage = 0x200,
    kNameMismatch = 0x1000,
    kInvalidDate = 0x2000
  };

  RequestObject();
  ~RequestObject();
  RequestObject(const RequestObject&) = delete;
  RequestObject& operator=(const RequestObject&) = delete;

  void set_timeouts(int resolve_ms, int connect_ms, int send_ms, int receive_ms);
  void set_proxy(ProxySetting setting, const std::string& proxy = {});
  void set_credentials(const std::string& user, const std::string& password, CredentialsFor target);
  void open(const std::string& method, const std::string& address, bool async);
  void ignore_certificate_problems(long problems);
  void set_follow_redirects(bool follow);
  void set_request_header(const std::string& name, const std::string& value);
  void send(const std::string& body);
  std::string response_body() const;
  std::string get_all_response_headers() const;
  int status() const;
  // The gate that holds (pause) or aborts (end) the transfers of later sends.
  void set_gate(Gate* gate);
  // The group whose transfers later sends run among (see transfer_group.h); null: alone.
  void set_group(TransferGroup* group);
  // False when the underlying transfer handle could not be created.
  bool created() const;
  // The longest a send may take (0 = no limit); kDefaultRequestDeadlineMs unless set.
  void set_deadline(long deadline_ms);
  // What became of the last send (a send that was not opened: BadAddress).
  const Response& outcome() const;
  // The same, moved out: the object keeps none of it, the body is not copied.
  Response take_response();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

struct TimedRequest : Request {
  int timeout_seconds = 0;  // < 1 gives 15 s, -1 leaves the object's own
  std::string proxy_user;
  std::string proxy_password;
  CredentialsFor credentials_for = CredentialsFor::Proxy;
  RequestObject* request_object = nullptr;  // supplied: reused instead of a new one
};

Response fetch_page_timed(const std::string& address, const TimedRequest& request = {});

// The one timeout, in milliseconds, that fetch_page_timed gives all four phases: 15000 for
// fewer than 1 second, -1 (no call, the object's own stay) for exactly -1.
int timed_timeout_ms(int timeout_seconds);

// A plain HTTP/1.0 GET of a cover address: agent "Mozilla/4.0 (compatible; MSIE 6.0;
// Windows NT 5.0)", "Accept: */*", no cookies, no cache, no proxy. The body whatever the
// status (no header lines); a failed connection or request gives its cause and no body. A
// cover refused with 403 is asked once more with kServiceReferer.
Response fetch_cover(const std::string& address, Gate* gate = nullptr);

// The Referer that the image hosts accept from a page of the service.
inline constexpr const char* kServiceReferer = "https://weibo.com/";

}  // namespace af
