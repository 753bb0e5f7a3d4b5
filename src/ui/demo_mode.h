// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The demo: the sample photo service inside the program, on a free loopback port, with
// its demo users, so that login, album list, covers, download, pause and end can all be
// tried on a machine that cannot reach the real service.
//
//   af::DemoService demo;                        // throws when no port can be had
//   af::MainWindow window(demo.window_options(options));
#include <memory>
#include <string>

#include "ui/main_window.h"

namespace afsample {
class SampleService;
}

namespace af {

class DemoService {
 public:
  DemoService();
  ~DemoService();
  DemoService(const DemoService&) = delete;
  DemoService& operator=(const DemoService&) = delete;

  // `options` pointed at the service: the browser starts on its index page (with the
  // login link), the album and photo lists come from it, and 编辑框_号码 holds the
  // sample user's home page.
  WindowOptions window_options(WindowOptions options = {}) const;

  std::string base_url() const;
  std::string user_home_page() const;  // the sample user's home page address
  afsample::SampleService& service() { return *service_; }

 private:
  std::unique_ptr<afsample::SampleService> service_;
};

}  // namespace af
