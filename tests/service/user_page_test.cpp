// SPDX-License-Identifier: GPL-3.0-or-later
// User page resolution: address normalisation, the two id markers, the title, and the
// album overview address, against the sample service.
#include "service/user_page.h"

#include <gtest/gtest.h>

#include "support/sample_service_env.h"
#include "util/codepage.h"

namespace {

using af::G;

struct AddressCase {
  const char* typed;
  const char* expected;
  const char* fetched = nullptr;  // nullptr: the expected text itself
};

class NormalizeAddress : public ::testing::TestWithParam<AddressCase> {};

TEST_P(NormalizeAddress, AsTypedAndAsFetched) {
  const AddressCase c = GetParam();
  EXPECT_EQ(af::normalize_address(c.typed), c.expected);
  EXPECT_EQ(af::fetched_address(c.expected), c.fetched ? c.fetched : c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NormalizeAddress,
    ::testing::Values(AddressCase{"  photo.weibo.com/u/1  ", "http://photo.weibo.com/u/1"},
                      AddressCase{"http://weibo.com/x", "http://weibo.com/x"},
                      AddressCase{"HTTP://weibo.com/x", "http://HTTP://weibo.com/x", "HTTP://weibo.com/x"},
                      AddressCase{"https://weibo.com/x", "http://https://weibo.com/x", "https://weibo.com/x"},
                      AddressCase{"Https://weibo.com/u/1", "http://Https://weibo.com/u/1", "Https://weibo.com/u/1"},
                      AddressCase{"httpsweibo.com", "http://httpsweibo.com"},
                      AddressCase{"1642591402", "http://1642591402"},
                      AddressCase{"\xA1\xA1weibo.com\xA1\xA1 ", "http://weibo.com"},
                      AddressCase{"\tweibo.com\r\n", "http://\tweibo.com\r\n"},
                      AddressCase{"go to http://a", "go to http://a"},
                      AddressCase{"   ", "http://"}, AddressCase{"", "http://"}));

struct PageCase {
  const char* name;
  const char* page;
  const char* user_id;
  const char* title;
};

class PageMarkers : public ::testing::TestWithParam<PageCase> {};

TEST_P(PageMarkers, IdAndTitle) {
  EXPECT_EQ(af::user_id_from_page(GetParam().page), GetParam().user_id);
  EXPECT_EQ(af::title_from_page(GetParam().page), GetParam().title);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PageMarkers,
    ::testing::Values(
        PageCase{"oid", "<title>A</title>$CONFIG['oid']='1642591402';", "1642591402", "A"},
        PageCase{"oid_first", "owner_uid: 2, $CONFIG['oid']='1';", "1", ""},
        PageCase{"empty_oid_then_owner", "$CONFIG['oid']='';var p={owner_uid: 987654,x:1}", "987654", ""},
        PageCase{"owner_without_blank", "var p={owner_uid:987654,x:1}", "", ""},
        PageCase{"no_marker", "<title>T &amp; <b></title>", "", "T &amp; <b>"},
        PageCase{"unclosed_title", "<title>T", "", ""}, PageCase{"empty", "", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

class UserPageService : public aftest::SampleServiceTest {};

TEST_F(UserPageService, ResolvesBothMarkersAndConvertsTheTitle) {
  // 新浪🐱 in UTF-8 on the page; GBK D0 C2 C0 CB and the emoji's GB18030 bytes inside the program.
  service().add_user(afsample::make_user("1642591402", "/u/1642591402", "\xE6\x96\xB0\xE6\xB5\xAA🐱"));
  service().add_user(
      afsample::make_user("2000000002", "/second", "Second", afsample::IdMarker::EmptyOidThenOwnerUid));
  service().add_user(afsample::make_user("3000000003", "/third", "", afsample::IdMarker::OwnerUidWithoutBlank));

  const af::UserPage first = af::resolve_user(base() + "/u/1642591402");
  EXPECT_EQ(first.user_id, "1642591402");
  EXPECT_EQ(first.title, "\xD0\xC2\xC0\xCB\x94\x39\xCE\x33");
  EXPECT_NE(first.page.find("\xD0\xC2\xC0\xCB\x94\x39\xCE\x33"), std::string::npos);

  const af::UserPage second = af::resolve_user(base() + "/second");
  EXPECT_EQ(second.user_id, "2000000002");
  EXPECT_EQ(second.title, "Second");

  const af::UserPage third = af::resolve_user(base() + "/third");
  EXPECT_EQ(third.user_id, "");
  EXPECT_EQ(third.title, "");
}

TEST_F(UserPageService, TypedAddressWithoutSchemeIsFetchedWithHttp) {
  service().add_user(afsample::make_user("1001", "/u/1001", "T"));
  const std::string typed = "  " + service().host() + "/u/1001 ";
  const std::string address = af::normalize_address(typed);
  EXPECT_EQ(address, base() + "/u/1001");
  EXPECT_EQ(af::resolve_user(address).user_id, "1001");
  const auto recorded = service().requests_to("/u/1001");
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].method, "GET");
}

TEST_F(UserPageService, FailedFetchGivesEmptyValues) {
  for (auto kind : {afsample::FaultKind::NotFound, afsample::FaultKind::ServerError, afsample::FaultKind::Empty}) {
    service().add_user(afsample::make_user("1001", "/u/1001", "T"));
    afsample::Fault fault;
    fault.kind = kind;
    fault.path = "/u/1001";
    service().add_fault(fault);
    const af::UserPage page = af::resolve_user(base() + "/u/1001");
    // An error status is told; an empty page still names the user in its address.
    if (kind == afsample::FaultKind::Empty) {
      EXPECT_EQ(page.user_id, "1001");
      EXPECT_EQ(page.failure, "");
    } else {
      EXPECT_EQ(page.user_id, "");
      EXPECT_NE(page.failure.find("HTTP"), std::string::npos);
    }
    EXPECT_EQ(page.title, "");
    service().reset();
  }
  // Nothing listens there: the port of a closed service.
  int closed_port;
  {
    afsample::SampleService other;
    closed_port = other.port();
  }
  const af::UserPage none = af::resolve_user("http://127.0.0.1:" + std::to_string(closed_port) + "/u/1");
  EXPECT_EQ(none.page, "");
  EXPECT_EQ(none.user_id, "");
  EXPECT_NE(none.failure.find(af::G("连接被拒绝")), std::string::npos);
}

TEST_F(UserPageService, RedirectIsFollowed) {
  service().add_user(afsample::make_user("1001", "/u/1001", "T"));
  afsample::Fault fault;
  fault.kind = afsample::FaultKind::Redirect;
  fault.path = "/old";
  fault.location = base() + "/u/1001";
  service().add_fault(fault);
  EXPECT_EQ(af::resolve_user(base() + "/old").user_id, "1001");
}

TEST_F(UserPageService, ShowUserAlbumsOpensTheOverview) {
  service().add_user(afsample::make_user("1001", "/u/1001", "T"));
  af::ResolvedUser user;
  user.user_title = "kept";
  const std::string overview = af::show_user_albums(endpoints(), " " + service().host() + "/u/1001", user);
  EXPECT_EQ(overview, base() + "/1001/albums/");
  EXPECT_EQ(user.user_id, "1001");
  EXPECT_EQ(user.home_page_address, base() + "/u/1001");
  EXPECT_EQ(user.user_title, "kept");
  EXPECT_EQ(aftest::http_get(overview).status, 200);

  // No id on the page: two slashes, as the address is simply joined.
  const std::string empty = af::show_user_albums(endpoints(), base() + "/nobody", user);
  EXPECT_EQ(empty, base() + "//albums/");
  EXPECT_EQ(user.user_id, "");
}

TEST(AlbumOverviewAddress, DefaultHost) {
  EXPECT_EQ(af::album_overview_address(af::ServiceEndpoints{}, "1642591402"),
            "http://photo.weibo.com/1642591402/albums/");
}

}  // namespace
