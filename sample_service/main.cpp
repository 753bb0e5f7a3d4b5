// sample-photo-service: runs the sample photo service with a small demo scenario until
// killed. Usage: sample-photo-service [--port N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "sample_service.h"

int main(int argc, char** argv) {
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--port N]\n", argv[0]);
      return 2;
    }
  }
  try {
    afsample::SampleService service(port);
    service.set_users(afsample::demo_users());
    std::cout << "listening on " << service.base_url() << std::endl;
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
