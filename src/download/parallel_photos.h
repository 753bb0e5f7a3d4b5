// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// ParallelPhotos: the photos of one album fetched several at once and kept in album order.
//
//   ParallelPhotos photos(saver, gate, 4, pacing.after_photo, settle);
//   walk_album(walk, [&](const PhotoEntry& e, std::int64_t pos) { return photos.add(e, pos); })
//       && photos.finish();
//
// Each of `jobs` lanes takes the next wanted photo, fetches it on a request object of its
// own (all of them in one TransferGroup, so their connections are shared and reused) and
// waits the pacing's wait after its request before it takes another. The download's thread
// settles the photos strictly in album order: `settle` shows its progress and keeps the
// photo (PhotoSaver::keep_or_fail) or tells why it is left, so the log, the file numbers,
// the record and the album index come out as one photo at a time would give them. At most
// twice `jobs` photos are taken and not yet settled; a photo is settled only to make room
// for the next, so the lanes find their next photos while the settling does its disk work.
//
// A pause of `gate` holds the lanes' new requests, their transfers under way, their waits
// and the settling; an end aborts every transfer in flight at once, from the thread that
// ends the download (TransferGroup::abort_all), so the lanes and the settling are free at
// once and their temporary files removed. Once settle says stop (an end, a storage failure,
// an album given up), the transfers in flight are aborted the same way, the lanes' waits
// cut short and their answers dropped: nothing of a photo after the stopping one is
// written.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/gate.h"
#include "download/photo_saver.h"
#include "http/transfer_group.h"
#include "service/photo_list.h"

namespace af {

class ParallelPhotos {
 public:
  using Save = std::function<SaveOutcome()>;
  // The download's step for one photo, in album order: shows the photo's progress, calls
  // `save` for its outcome and says whether the album goes on.
  using Settle = std::function<bool(const PhotoEntry& entry, std::int64_t position, const Save& save)>;

  // `jobs`: how many photos are fetched at once (2 or more).
  ParallelPhotos(PhotoSaver& saver, DownloadControl& gate, int jobs, std::chrono::milliseconds after_photo,
                 Settle settle);
  // Aborts what is still in flight and waits for the lanes.
  ~ParallelPhotos();
  ParallelPhotos(const ParallelPhotos&) = delete;
  ParallelPhotos& operator=(const ParallelPhotos&) = delete;

  // Takes the next photo of the album and settles those whose turn has come. False once
  // the album stops.
  bool add(const PhotoEntry& entry, std::int64_t position);
  // Settles every photo still taken. False when the album stopped.
  bool finish();

 private:
  // The lanes' gate: the download's, and ended as well once the album stops.
  class LaneGate final : public Gate {
   public:
    explicit LaneGate(DownloadControl& download) : download_(download) {}
    bool pass() override { return download_.pass(stopped_); }
    bool ended() const override { return stopped_ || download_.ended(); }
    bool paused() const override { return download_.paused(); }
    bool wait_for(std::chrono::milliseconds duration) override {
      return download_.wait_for(duration, stopped_);
    }
    std::chrono::steady_clock::duration running_time() const override { return download_.running_time(); }
    void stop() {
      stopped_ = true;
      download_.wake();
    }

   private:
    DownloadControl& download_;
    std::atomic<bool> stopped_{false};
  };

  enum class State { Waiting, Unwanted, Fetched, Unasked, Ended };
  struct Job {
    PhotoEntry entry;
    std::int64_t position = 0;
    State state = State::Waiting;
    PhotoSaver::ImageAnswer answer;
  };

  void run_lane(RequestObject& object);
  bool settle_next();
  SaveOutcome outcome_of(Job& job);
  void stop();

  PhotoSaver& saver_;
  LaneGate gate_;
  std::chrono::milliseconds after_photo_;
  Settle settle_;
  std::size_t most_ahead_;
  bool stopped_ = false;  // the download's thread only

  std::mutex mutex_;
  std::condition_variable work_;            // a photo to fetch, or the stop
  std::condition_variable fetched_;         // a job's state changed
  std::deque<std::unique_ptr<Job>> taken_;  // in album order, not yet settled
  std::deque<Job*> to_fetch_;
  bool lanes_stopping_ = false;

  DownloadControl& control_;
  TransferGroup group_;  // before the lanes: it outlives their transfers
  int end_listener_ = 0;
  std::vector<std::unique_ptr<RequestObject>> objects_;
  std::vector<std::thread> lanes_;
};

}  // namespace af
