// SPDX-License-Identifier: GPL-3.0-or-later
// Cover benchmark (not a test): the album list job with covers on, against the sample
// service behind a far link (every answer waits the link's latency, the album list's and
// the covers' alike). For each number of covers fetched at once it prints the time from
// the job's start to the last row of the table, the part of it after the list arrived
// (the covers), and the most requests the service answered at once.
//
//   cover_bench [--albums N] [--latency-ms MS] [--jobs 1,4,8] [--runs R] [--pace-factor F]
//
// Defaults: 45 albums, 100 ms, jobs 1, 4 and 8, 3 runs each (the median is printed, the
// single runs in brackets), the job's waits removed (--pace-factor 0); --pace-factor 1
// keeps the real waits (1 s after the list, 200 ms before each album).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "sample_service.h"
#include "service/album_list.h"

namespace {

using Clock = std::chrono::steady_clock;

// Notes when the list arrived (the first progress) and when the last row came.
class TimingView : public af::AlbumListView {
 public:
  bool covers_wanted() override { return true; }
  void list_started() override {}
  void status(const std::string&) override {}
  void list_progress(int position, int) override {
    std::lock_guard lock(mutex_);
    if (position == 1) list_at_ = Clock::now();
  }
  void album_found(const af::AlbumRow& row) override {
    std::lock_guard lock(mutex_);
    last_row_at_ = Clock::now();
    ++rows_;
    if (!row.cover_is_placeholder) ++covers_;
  }
  void log(const std::string&) override {}
  void message(const std::string&, const std::string&) override {}

  Clock::time_point list_at_, last_row_at_;
  int rows_ = 0;
  int covers_ = 0;

 private:
  std::mutex mutex_;
};

std::vector<int> numbers(const char* text) {
  std::vector<int> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(std::atoi(item.c_str()));
  return out;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  int albums = 45;
  long long latency_ms = 100;
  int runs = 3;
  int pace_factor = 0;
  std::vector<int> jobs = {1, 4, 8};
  for (int i = 1; i + 1 < argc; i += 2) {
    const char* value = argv[i + 1];
    if (std::strcmp(argv[i], "--albums") == 0) {
      albums = std::atoi(value);
    } else if (std::strcmp(argv[i], "--latency-ms") == 0) {
      latency_ms = std::atoll(value);
    } else if (std::strcmp(argv[i], "--jobs") == 0) {
      jobs = numbers(value);
    } else if (std::strcmp(argv[i], "--runs") == 0) {
      runs = std::max(1, std::atoi(value));
    } else if (std::strcmp(argv[i], "--pace-factor") == 0) {
      pace_factor = std::atoi(value);
    } else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }

  afsample::SampleService service;
  afsample::SampleUser user = afsample::make_user("1001", "/u/1001", "Bench");
  for (int a = 1; a <= albums; ++a)
    user.albums.push_back(afsample::make_album(std::to_string(100100 + a), "Album " + std::to_string(a), 3));
  service.add_user(user);

  std::printf("%d albums with covers, %lld ms link, pace factor %d, %d runs each\n", albums, latency_ms,
              pace_factor, runs);
  std::printf("%-8s %-34s %-34s %s\n", "at once", "to the last row, s", "covers after the list, s",
              "most in flight");
  for (const int n : jobs) {
    std::vector<double> totals, covers;
    int peak = 0;
    for (int r = 0; r < runs; ++r) {
      service.set_link(std::chrono::milliseconds(latency_ms));
      service.clear_requests();
      af::AlbumListJob job;
      job.endpoints.photo_base = service.base_url();
      job.user_id = user.uid;
      job.pacing = af::Pacing::shortened(pace_factor);
      job.jobs = n;
      TimingView view;
      const auto start = Clock::now();
      af::load_album_list(job, view);
      if (view.rows_ != albums || view.covers_ != albums) {
        std::fprintf(stderr, "at %d: %d rows, %d covers of %d albums\n", n, view.rows_, view.covers_, albums);
        return 1;
      }
      totals.push_back(seconds(view.last_row_at_ - start));
      covers.push_back(seconds(view.last_row_at_ - view.list_at_));
      peak = std::max(peak, service.peak_in_flight());
    }
    const auto line = [](std::vector<double> values) {
      std::string text;
      for (double v : values) text += (text.empty() ? "" : ", ") + std::to_string(v).substr(0, 5);
      std::sort(values.begin(), values.end());
      return std::to_string(values[values.size() / 2]).substr(0, 5) + " (" + text + ")";
    };
    std::printf("%-8d %-34s %-34s %d\n", n, line(totals).c_str(), line(covers).c_str(), peak);
  }
  return 0;
}
