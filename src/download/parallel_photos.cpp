// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/parallel_photos.h"

#include <algorithm>

#include "http/fetch.h"

namespace af {

ParallelPhotos::ParallelPhotos(PhotoSaver& saver, DownloadControl& gate, int jobs,
                               std::chrono::milliseconds after_photo, Settle settle)
    : saver_(saver),
      gate_(gate),
      after_photo_(after_photo),
      settle_(std::move(settle)),
      most_ahead_(static_cast<std::size_t>(std::max(jobs, 1)) * 2),
      control_(gate),
      group_(std::max(jobs, 1)) {
  for (int i = 0; i < std::max(jobs, 1); ++i) {
    objects_.push_back(std::make_unique<RequestObject>());
    objects_.back()->set_group(&group_);
  }
  for (auto& object : objects_) lanes_.emplace_back([this, o = object.get()] { run_lane(*o); });
  // An end aborts the transfers under way from the thread that ends the download: none of
  // them is waited for until it calls back.
  end_listener_ = control_.add_end_listener([this] { group_.abort_all(); });
}

ParallelPhotos::~ParallelPhotos() {
  control_.remove_end_listener(end_listener_);
  stop();
  {
    std::lock_guard lock(mutex_);
    lanes_stopping_ = true;
  }
  work_.notify_all();
  for (auto& lane : lanes_) lane.join();
}

void ParallelPhotos::stop() {
  stopped_ = true;
  gate_.stop();        // cuts the lanes' waits short; their answers are dropped
  group_.abort_all();  // and the transfers in flight
}

bool ParallelPhotos::add(const PhotoEntry& entry, std::int64_t position) {
  if (stopped_) return false;
  auto job = std::make_unique<Job>();
  job->entry = entry;
  job->position = position;
  Job* taken = job.get();
  // A photo outside the bounds or recorded is settled without a request, as alone.
  if (saver_.unwanted(entry))
    taken->state = State::Unwanted;
  else if (saver_.given_up())
    taken->state = State::Unasked;
  const bool wanted = taken->state == State::Waiting;
  {
    std::lock_guard lock(mutex_);
    taken_.push_back(std::move(job));
    if (wanted) to_fetch_.push_back(taken);
  }
  if (wanted) work_.notify_one();
  // Photos are settled only to make room: beyond the most that may be ahead, the next one in
  // album order is waited for and settled, and the album's next photo is taken at once. So
  // the lanes always find the next photos to fetch, and none waits while the settling does
  // its disk work.
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (taken_.size() <= most_ahead_) return true;
    }
    if (!settle_next()) return false;
  }
}

bool ParallelPhotos::finish() {
  for (;;) {
    if (stopped_) return false;
    {
      std::lock_guard lock(mutex_);
      if (taken_.empty()) return true;
    }
    if (!settle_next()) return false;
  }
}

bool ParallelPhotos::settle_next() {
  Job* job = nullptr;
  {
    std::unique_lock lock(mutex_);
    job = taken_.front().get();
    fetched_.wait(lock, [&] { return job->state != State::Waiting; });
  }
  const bool go_on = settle_(job->entry, job->position, [&] { return outcome_of(*job); });
  {
    std::lock_guard lock(mutex_);
    taken_.pop_front();
  }
  if (!go_on) stop();
  return go_on;
}

SaveOutcome ParallelPhotos::outcome_of(Job& job) {
  // The record may have gained the photo since it was taken (the same photo twice in an
  // album): it is then skipped as one photo at a time would.
  if (const auto unwanted = saver_.unwanted(job.entry)) return *unwanted;
  switch (job.state) {
    case State::Fetched:
      return saver_.keep_or_fail(job.entry, job.position, job.answer);
    case State::Unasked:
      return SaveOutcome::GaveUp;
    default:
      return SaveOutcome::Ended;
  }
}

void ParallelPhotos::run_lane(RequestObject& object) {
  for (;;) {
    Job* job = nullptr;
    {
      std::unique_lock lock(mutex_);
      work_.wait(lock, [&] { return lanes_stopping_ || !to_fetch_.empty(); });
      if (lanes_stopping_) return;
      job = to_fetch_.front();
      to_fetch_.pop_front();
    }
    // After a photo that gave the album up, the later ones are not asked for.
    const bool ask = !saver_.given_up();
    PhotoSaver::ImageAnswer answer;
    const bool answered = ask && saver_.fetch_image(job->entry, answer, object, gate_);
    const auto fetched = std::chrono::steady_clock::now();
    {
      std::lock_guard lock(mutex_);
      job->answer = std::move(answer);
      job->state = !ask ? State::Unasked : answered ? State::Fetched : State::Ended;
    }
    fetched_.notify_all();
    if (!ask) continue;
    // The wait after each request, on this lane's connection as on the one of a download
    // that fetches one photo at a time.
    const auto until = fetched + after_photo_;
    const auto left = std::chrono::floor<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (gate_.wait_for(std::max(left, std::chrono::milliseconds::zero())))
      std::this_thread::sleep_until(until);
  }
}

}  // namespace af
