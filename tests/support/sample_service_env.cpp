// SPDX-License-Identifier: GPL-3.0-or-later
#include "sample_service_env.h"

#include <httplib.h>

#include <memory>
#include <mutex>

#include "download/image_check.h"

namespace aftest {
namespace {

std::unique_ptr<afsample::SampleService>& instance() {
  static std::unique_ptr<afsample::SampleService> service;
  return service;
}
std::mutex& instance_mutex() {
  static std::mutex mutex;
  return mutex;
}

// Any test program that uses the service links this file, and with it the environment.
[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new SampleServiceEnvironment);

struct SplitUrl {
  std::string origin;  // scheme://host:port
  std::string target;  // path and query
};
SplitUrl split_url(const std::string& url) {
  const std::size_t scheme = url.find("://");
  const std::size_t slash = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  if (slash == std::string::npos) return {url, "/"};
  return {url.substr(0, slash), url.substr(slash)};
}

HttpAnswer answer_of(const httplib::Result& result) {
  HttpAnswer answer;
  if (!result) return answer;
  answer.status = result->status;
  answer.body = result->body;
  answer.content_type = result->get_header_value("Content-Type");
  answer.set_cookie = result->get_header_value("Set-Cookie");
  return answer;
}

}  // namespace

afsample::SampleService& sample_service() {
  std::lock_guard lock(instance_mutex());
  if (!instance()) instance() = std::make_unique<afsample::SampleService>(0);
  return *instance();
}

void SampleServiceEnvironment::SetUp() { sample_service(); }

void SampleServiceEnvironment::TearDown() {
  std::lock_guard lock(instance_mutex());
  instance().reset();
}

void SampleServiceTest::SetUp() { sample_service().reset(); }
void SampleServiceTest::TearDown() { sample_service().reset(); }

af::ServiceEndpoints SampleServiceTest::endpoints() {
  af::ServiceEndpoints e;
  e.photo_base = sample_service().base_url();
  return e;
}

HttpAnswer http_get(const std::string& url, const std::vector<std::string>& headers) {
  const SplitUrl split = split_url(url);
  httplib::Client client(split.origin);
  client.set_connection_timeout(5);
  client.set_read_timeout(30);
  httplib::Headers h;
  for (const auto& line : headers) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    h.emplace(line.substr(0, colon), value);
  }
  return answer_of(client.Get(split.target, h));
}

HttpAnswer http_post_form(const std::string& url, const std::string& form) {
  const SplitUrl split = split_url(url);
  httplib::Client client(split.origin);
  client.set_connection_timeout(5);
  return answer_of(client.Post(split.target, form, "application/x-www-form-urlencoded"));
}

afsample::SampleUser user_with_albums(const std::string& uid, const std::vector<int>& counts) {
  afsample::SampleUser user = afsample::make_user(uid, "/u/" + uid, "User " + uid);
  for (std::size_t i = 0; i < counts.size(); ++i) {
    char id[24];
    std::snprintf(id, sizeof id, "%04zu", i + 1);
    user.albums.push_back(afsample::make_album(uid + id, "Album " + std::to_string(i + 1), counts[i]));
  }
  return user;
}

// The download's own picture check, and the end marker or trailer as the very last bytes.
bool is_wellformed_jpeg(const std::string& b) {
  return af::image_kind(b) == af::ImageKind::Jpeg && af::is_complete_image(b) && b.ends_with("\xFF\xD9");
}

bool is_wellformed_gif(const std::string& b) {
  return af::image_kind(b) == af::ImageKind::Gif && af::is_complete_image(b) && b.ends_with("\x3B");
}

}  // namespace aftest
