// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Running a program as a child process of a benchmark and taking its figures: wall time,
// CPU time (user + system) from wait4's resource use, and peak resident size.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace afbench {

struct Figures {
  bool ran = false;
  int status = -1;
  double wall = 0;    // seconds
  double cpu = 0;     // user + system seconds
  long peak_kib = 0;  // largest resident set
  // wait4's ru_maxrss: also counts the pages shared with the bench before the exec, so it
  // tells the child's own peak only when the bench is the smaller of the two.
  long maxrss_kib = 0;
  std::size_t files = 0;
};

// A child started with start_child and not yet waited for.
struct Started {
  pid_t pid = -1;
  std::chrono::steady_clock::time_point start;
};

// Starts `args` as a child, its output to `log` (and `log`.err).
inline Started start_child(const std::vector<std::string>& args, const std::string& log) {
  std::fflush(stdout);  // the child must not print what the bench has printed
  Started started{-1, std::chrono::steady_clock::now()};
  started.pid = ::fork();
  if (started.pid == 0) {
    if (std::freopen(log.c_str(), "w", stdout) == nullptr ||
        std::freopen((log + ".err").c_str(), "w", stderr) == nullptr)
      ::_exit(126);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return started;
}

// Waits for the child and takes its figures; `meanwhile` runs between looks, and the
// child's wall time runs from its start.
inline Figures wait_child(const Started& child, const std::function<void()>& meanwhile = {}) {
  Figures figures;
  // The peak resident size is read from the child's own VmHWM while it runs: wait4's
  // ru_maxrss also counts the pages the child shared with the bench before its exec. Until
  // the exec the child is still the bench by name, and its VmHWM the bench's: not counted.
  std::string bench_name;
  std::getline(std::ifstream("/proc/self/comm"), bench_name);
  int status = 0;
  struct rusage usage {};
  for (;;) {
    const pid_t done = ::wait4(child.pid, &status, WNOHANG, &usage);
    if (done == child.pid) break;
    if (done < 0) return figures;
    std::ifstream proc_status("/proc/" + std::to_string(child.pid) + "/status");
    bool execed = false;
    for (std::string line; std::getline(proc_status, line);) {
      if (line.rfind("Name:", 0) == 0) {
        const std::size_t name = line.find_first_not_of(" \t", 5);
        execed = name != std::string::npos && line.compare(name, std::string::npos, bench_name) != 0;
      }
      if (execed && line.rfind("VmHWM:", 0) == 0)
        figures.peak_kib = std::max(figures.peak_kib, std::atol(line.c_str() + 6));
    }
    if (meanwhile) meanwhile();
    ::usleep(2000);
  }
  figures.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - child.start).count();
  figures.ran = WIFEXITED(status) && WEXITSTATUS(status) != 127;
  figures.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  figures.maxrss_kib = usage.ru_maxrss;
  figures.cpu =
      usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return figures;
}

// Runs `args` as a child, its output to `log` (and `log`.err), and takes its figures.
inline Figures run_child(const std::vector<std::string>& args, const std::string& log) {
  return wait_child(start_child(args, log));
}

// Regular files under `root`, hidden ones left out.
inline std::size_t files_under(const std::string& root) {
  std::size_t n = 0;
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error))
    if (it->is_regular_file() && it->path().filename().string()[0] != '.') ++n;
  return n;
}

inline bool on_path(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace afbench
