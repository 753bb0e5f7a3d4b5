// SPDX-License-Identifier: GPL-3.0-or-later
// sample-photo-service: runs the sample photo service with a small demo scenario until
// killed. Usage: sample-photo-service [--port N] [--service-profile classic|today|bad-day]
//                                     [--latency-ms MS] [--bandwidth BYTES_PER_SECOND]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>
#include <string>

#include "sample_service.h"

int main(int argc, char** argv) {
  int port = 0;
  long long latency_ms = 0;
  long long bandwidth = 0;
  afsample::ServiceProfile profile = afsample::ServiceProfile::Classic;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--latency-ms") == 0 && i + 1 < argc) {
      latency_ms = std::atoll(argv[++i]);
    } else if (std::strcmp(argv[i], "--bandwidth") == 0 && i + 1 < argc) {
      bandwidth = std::atoll(argv[++i]);
    } else if (std::strcmp(argv[i], "--service-profile") == 0 && i + 1 < argc &&
               afsample::profile_named(argv[i + 1])) {
      profile = *afsample::profile_named(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--port N] [--service-profile classic|today|bad-day] [--latency-ms MS] "
                   "[--bandwidth BYTES_PER_SECOND]\n",
                   argv[0]);
      return 2;
    }
  }
  try {
    afsample::SampleService service(port);
    service.set_users(afsample::demo_users());
    service.set_profile(profile);
    service.set_link(std::chrono::milliseconds(latency_ms), bandwidth);
    std::cout << "listening on " << service.base_url() << std::endl;
    std::promise<void>().get_future().wait();  // serves until the process is ended
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
