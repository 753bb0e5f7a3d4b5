// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The sample photo service for a test program: one instance on 127.0.0.1 (port 0), started
// by a GoogleTest environment (or on first use) and stopped when the program's tests end.
//
//   class AlbumListTest : public aftest::SampleServiceTest {};
//   TEST_F(AlbumListTest, Rows) {
//     auto user = afsample::make_user("1001", "/u/1001", "T");
//     user.albums.push_back(afsample::make_album("123", "A", 5));
//     service().add_user(user);
//     ... endpoints().photo_base == service().base_url() ...
//   }
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sample_service.h"
#include "service/photo_list.h"

namespace aftest {

// The program's service; started on first use.
afsample::SampleService& sample_service();

class SampleServiceEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;
};

// A fixture that gives every test a service with no users, faults, sessions or requests.
class SampleServiceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  afsample::SampleService& service() { return sample_service(); }
  std::string base() { return sample_service().base_url(); }
  af::ServiceEndpoints endpoints();
};

// A plain GET through cpp-httplib (independent of the program's own transports):
// status 0 when the exchange failed. `headers` are "Name: value" lines.
struct HttpAnswer {
  int status = 0;
  std::string body;
  std::string content_type;
  std::string set_cookie;
};
HttpAnswer http_get(const std::string& url, const std::vector<std::string>& headers = {});
HttpAnswer http_post_form(const std::string& url, const std::string& form);

// A user with albums of the given photo counts (album ids "<uid>0001", "<uid>0002", ...,
// captions "Album 1", ...), home page at "/u/<uid>".
afsample::SampleUser user_with_albums(const std::string& uid, const std::vector<int>& counts);

// Structural checks that a picture decodes: markers of a JPEG up to EOI, or the blocks of
// a GIF up to its trailer.
bool is_wellformed_jpeg(const std::string& bytes);
bool is_wellformed_gif(const std::string& bytes);

}  // namespace aftest
