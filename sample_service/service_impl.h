// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The sample service's inside, shared by the files that answer each kind of request: the
// dispatcher and the public calls (sample_service.cpp), pages (serve_pages.cpp), lists
// (serve_lists.cpp), images and covers (serve_images.cpp), faults and the link
// (serve_faults.cpp).
#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <unordered_map>

#include "sample_service.h"

namespace afsample {

// Raw query parameters, not percent-decoded: the ids are digits and tests want the bytes.
std::map<std::string, std::string> parse_query(const std::string& query);
// Announces the answer's whole length, sends half, then fails the provider: httplib closes
// the connection and the client sees a body cut short.
void send_half_then_close(httplib::Response& res);

struct SampleService::Impl {
  httplib::Server server;
  std::thread thread;
  int port = 0;

  mutable std::mutex mutex;
  std::vector<SampleUser> users;
  // The photos of `users` by image name, in the order of `users` (a name may recur), so
  // that an image answer does not walk every album: made again at the first lookup after
  // `users` changed (users_changed()).
  mutable std::unordered_map<std::string, std::vector<const SamplePhoto*>> photos_by_image;
  mutable bool photos_stale = true;
  void users_changed() { photos_stale = true; }
  const std::vector<const SamplePhoto*>& photos_named(const std::string& name) const;
  ServiceProfile profile = ServiceProfile::Classic;
  std::vector<Fault> faults;
  std::map<std::string, int> image_faults_served;
  std::set<std::string> sessions;
  std::string login_user = "demo";
  std::string login_password = "demo";
  // A login outlives the service, as the real service's login does: the login form's token
  // comes from the credentials, and every service knows it from its start (a demo started
  // again takes the login kept from the run before), until a logout or reset().
  bool login_remembered = true;
  std::string login_token() const;
  std::vector<RecordedRequest> requests;
  std::mt19937_64 random{std::random_device{}()};
  int list_burst = 25;
  int burst_count = 0;
  std::chrono::steady_clock::time_point last_list_request{};

  // Image answers: the rules set by a test (else the profile's), the rate limit's count,
  // and the stop that ends stalled and trickling answers.
  std::optional<ImageRules> image_rules;
  int images_since_limit = 0;
  int images_refused = 0;
  std::atomic<bool> stopping{false};
  // Answers held back (Slow, Stall) end early when the service stops or is reset: a test's
  // held answer never outlasts the test.
  std::uint64_t resets = 0;
  bool hold_ended(std::uint64_t held_at) const { return stopping.load() || resets != held_at; }
  std::condition_variable stop_changed;  // also told when the listening loop runs and at a reset
  bool listening = false;
  void set_listening() {
    std::lock_guard lock(mutex);
    listening = true;
    stop_changed.notify_all();
  }

  // The link the answers travel (set_link): a round trip added to every answer, and one
  // bandwidth that all answers share.
  std::atomic<long long> link_latency_ms{0};
  std::atomic<long long> link_bytes_per_second{0};
  // Requests being answered now, and the most at once.
  std::atomic<int> in_flight{0};
  std::atomic<int> peak_in_flight{0};
  std::mutex link_mutex;
  std::chrono::steady_clock::time_point link_free{};  // the link is busy until then
  // When `bytes` sent now would have passed the shared link.
  std::chrono::steady_clock::time_point reserve_link(std::size_t bytes, long long rate);
  // Sends the built answer's body through the shared link.
  void pace_body(httplib::Response& res, long long rate);

  std::string base() const { return "http://127.0.0.1:" + std::to_string(port); }

  void handle(const httplib::Request& req, httplib::Response& res);
  void handle_request(const httplib::Request& req, httplib::Response& res);
  std::optional<Fault> take_fault(const std::string& path, const std::string& query);
  bool logged_in(const httplib::Request& req);
  const SampleUser* user_by_uid(const std::string& uid) const;

  void home_page(const SampleUser& user, httplib::Response& res) const;
  void index_page(httplib::Response& res) const;
  void overview_page(const SampleUser* user, httplib::Response& res) const;
  void album_list(const std::map<std::string, std::string>& q, bool session, httplib::Response& res,
                  int page_size = 0) const;
  void photo_list(const std::map<std::string, std::string>& q, bool session, httplib::Response& res,
                  int cap = 0) const;
  // The pages and lists of the Today profile; false when the request is answered as always.
  bool today_page(const httplib::Request& req, const std::string& path,
                  const std::map<std::string, std::string>& q, httplib::Response& res);
  bool today_list(const httplib::Request& req, const std::string& path,
                  const std::map<std::string, std::string>& q, httplib::Response& res);
  bool to_visitor(const std::string& path, httplib::Response& res) const;
  // The login form, its answer and the logout, the home, overview and index pages; false
  // when the path is none of them.
  bool page(const httplib::Request& req, const std::string& path, httplib::Response& res);
  // A fault's whole answer (true), or a wait before the usual one; then the usual answer
  // cut or slowed.
  bool fault_answer(const Fault& fault, httplib::Response& res, std::unique_lock<std::mutex>& lock);
  void fault_after(const Fault& fault, httplib::Response& res);
  bool has_session_cookie(const httplib::Request& req) const;
  void login_page(httplib::Response& res) const;
  void login_json(httplib::Response& res) const;
  // Today's answers (Today and BadDay).
  bool today() const { return profile != ServiceProfile::Classic; }
  bool image(const httplib::Request& req, const std::string& name, httplib::Response& res,
             std::unique_lock<std::mutex>& lock);
  ImageRules effective_image_rules() const;
  bool image_fault_answer(const SamplePhoto& photo, std::string bytes, httplib::Response& res,
                          std::unique_lock<std::mutex>& lock);
  std::string image_for(const std::string& name) const;
  std::string cover_address(const SampleAlbum& album) const;
};

}  // namespace afsample
