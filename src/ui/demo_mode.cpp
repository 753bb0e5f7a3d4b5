// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/demo_mode.h"

#include "sample_service.h"

namespace af {

DemoService::DemoService() : service_(std::make_unique<afsample::SampleService>(0)) {
  service_->set_users(afsample::demo_users());
}

DemoService::~DemoService() = default;

std::string DemoService::base_url() const { return service_->base_url(); }

std::string DemoService::user_home_page() const {
  const auto users = afsample::demo_users();
  return base_url() + (users.empty() ? std::string("/") : users.front().path);
}

WindowOptions DemoService::window_options(WindowOptions options) const {
  options.home = QString::fromStdString(base_url() + "/");
  options.service_base = QString::fromStdString(base_url());
  options.home_page_box = QString::fromStdString(user_home_page());
  return options;
}

}  // namespace af
