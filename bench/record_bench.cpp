// SPDX-License-Identifier: GPL-3.0-or-later
// Record benchmark (not a test): the median time of a lookup among 1,000,000 recorded ids,
// then what recording costs per photo: an append of its own with a flush of the photo's
// folder before it, against appends in groups (one folder flush, one append and one flush
// of the record's log per group).
//
//   record_bench [--ids N] [--lookups N] [--appends N] [--group N]
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "download/photo_file.h"
#include "download/record_store.h"

namespace {
std::string photo_id(long n) { return std::to_string(3800000000000000LL + n * 7919); }
}  // namespace

int main(int argc, char** argv) {
  long ids = 1000000;
  long lookups = 200000;
  long appends = 1000;
  long group = 20;  // the photos of one second at the usual 50 ms after each
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--ids" && i + 1 < argc) ids = std::atol(argv[++i]);
    else if (arg == "--lookups" && i + 1 < argc) lookups = std::atol(argv[++i]);
    else if (arg == "--appends" && i + 1 < argc)
      appends = std::atol(argv[++i]);
    else if (arg == "--group" && i + 1 < argc)
      group = std::max(1L, std::atol(argv[++i]));
  }
  char pattern[] = "/tmp/af-record-bench-XXXXXX";
  const std::string folder = ::mkdtemp(pattern);
  const std::string path = folder + "/8001.dlr";
  af::DownloadRecord::create_record_store(path);

  // Filling: one transaction through SQLite directly (the store appends one id at a time,
  // which is what a download does but would only slow the set-up here).
  {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO record (photo_id) VALUES (?1)", -1, &insert, nullptr);
    for (long n = 0; n < ids; ++n) {
      const std::string id = photo_id(n);
      sqlite3_bind_text(insert, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }

  af::DownloadRecord record;
  if (!record.open_record_store(path)) return 1;
  std::mt19937_64 random(42);
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(lookups));
  long found = 0;
  for (long i = 0; i < lookups; ++i) {
    // Half present ids, half absent ones.
    const long n = static_cast<long>(random() % static_cast<unsigned long>(ids));
    const std::string id = (i % 2 == 0) ? photo_id(n) : photo_id(n) + "1";
    const auto start = std::chrono::steady_clock::now();
    found += record.is_recorded(id) ? 1 : 0;
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  // One append among them, as a download makes.
  const auto start = std::chrono::steady_clock::now();
  record.add_record(photo_id(ids + 1));
  const double append = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();

  // Per photo: its folder flushed and its id appended, one photo at a time, ...
  // Each photo's file is put in place by a rename first (an empty file: only the name
  // goes to disk with the folder's flush), as a download does.
  const auto per_photo = [&](auto&& record_one) {
    const auto begin = std::chrono::steady_clock::now();
    for (long n = 0; n < appends; ++n) {
      const std::string name = folder + "/" + std::to_string(n);
      std::fclose(std::fopen((name + ".part").c_str(), "w"));
      std::rename((name + ".part").c_str(), name.c_str());
      record_one(n);
    }
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count() /
           static_cast<double>(std::max(1L, appends));
  };
  const double one_each = per_photo([&](long n) {
    af::flush_folder(folder);
    record.add_record(photo_id(ids + 2 + n));
  });
  // ... and in groups: held, then one flush, one append and the log put on disk per group.
  const auto commit_group = [&] {
    af::flush_folder(folder);
    if (record.stage_group()) record.commit_staged();
    record.sync_log();
  };
  const double grouped = per_photo([&](long n) {
    record.hold(photo_id(ids + 2 + appends + n));
    if ((n + 1) % group == 0) commit_group();
  });
  commit_group();
  record.close_record_store();

  std::sort(micros.begin(), micros.end());
  std::printf("ids: %ld, lookups: %ld (%ld found)\n", ids, lookups, found);
  std::printf("lookup median: %.2f us, 99th percentile: %.2f us (goal: median at most 50 us)\n",
              micros[micros.size() / 2], micros[micros.size() * 99 / 100]);
  std::printf("one append: %.1f us\n", append);
  std::printf(
      "per photo, %ld photos: %.1f us with an append of its own and its folder flushed, "
      "%.1f us in groups of %ld\n",
      appends, one_each, grouped, group);
  std::filesystem::remove_all(folder);
  return 0;
}
