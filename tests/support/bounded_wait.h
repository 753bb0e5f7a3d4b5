// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Waits with a bound, for every test program: a condition looked at until it holds, and
// child processes whose signals and end are waited for no longer than a bound.
//
//   ASSERT_TRUE(aftest::eventually([&] { return photos_on_disk() >= 4; })) << "four photos";
//   auto child = aftest::Child::rerun("DISABLED_CrashChild.Run", {"AF_CRASH_SAVE=" + save});
//   ASSERT_TRUE(aftest::killed_by(child.kill(), SIGKILL));
//
// A child that runs any of the program's code is a fresh program (exec right after fork):
// after a fork in a process with threads only async-signal-safe calls are sound, since a
// lock another thread held at the fork (the allocator's, a sanitizer's) is never released
// in the child. Child::bare() is for children that only wait or exit.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace aftest {

// The bound of a wait for something the code under test must do: long enough for a loaded
// machine under the sanitizers, short of CTest's timeout, so that a test that fails says
// what it waited for.
inline constexpr std::chrono::milliseconds kEventBound{60000};

// Looks at `condition` every 2 ms until it holds, for at most `bound`; true when it held.
template <class Condition>
bool eventually(Condition&& condition, std::chrono::milliseconds bound = kEventBound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// One child process, killed and reaped when it goes out of scope.
class Child {
 public:
  Child() = default;
  Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)), status_(other.status_) {}
  Child& operator=(Child&& other) noexcept {
    kill();
    pid_ = std::exchange(other.pid_, -1);
    status_ = other.status_;
    return *this;
  }
  ~Child() { kill(); }

  // This test program started again on the one (disabled) test named, with `extra`
  // ("NAME=value") added to the environment; its output goes to /dev/null. Descriptors
  // without FD_CLOEXEC are inherited.
  static Child rerun(const std::string& test, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {std::filesystem::read_symlink("/proc/self/exe").string(),
                                     "--gtest_filter=" + test, "--gtest_also_run_disabled_tests"};
    std::vector<std::string> env(extra);
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(a.data());
    for (auto& v : env) envp.push_back(v.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    return bare(
        [&] {
          ::dup2(null_fd, 1);
          ::dup2(null_fd, 2);
          ::execve(args[0], args.data(), envp.data());
          ::_exit(127);
        },
        null_fd);
  }

  // A bare fork whose child runs only `body`, which may call async-signal-safe functions
  // alone (pause, write, execve), then exits 0.
  template <class Body>
  static Child bare(Body body, int close_after = -1) {
    Child child;
    child.pid_ = ::fork();
    if (child.pid_ == 0) {
      body();
      ::_exit(0);
    }
    if (close_after >= 0) ::close(close_after);
    return child;
  }

  // A child started some other way (posix_spawn), owned from now on.
  static Child adopt(pid_t pid) {
    Child child;
    child.pid_ = pid;
    return child;
  }

  bool started() const { return pid_ > 0 || status_.has_value(); }
  pid_t pid() const { return pid_; }
  void signal(int number) const {
    if (pid_ > 0) ::kill(pid_, number);
  }

  // Waits up to `bound` for the child to end: its wait status, or nothing while it runs.
  std::optional<int> wait(std::chrono::milliseconds bound = kEventBound) {
    if (pid_ > 0)
      eventually(
          [&] {
            int status = 0;
            const pid_t got = ::waitpid(pid_, &status, WNOHANG);
            if (got == 0) return false;
            status_ = got == pid_ ? status : -1;
            pid_ = -1;
            return true;
          },
          bound);
    return status_;
  }

  // SIGKILL and reap; the wait status (a child that had ended already keeps its own).
  std::optional<int> kill() {
    signal(SIGKILL);
    return wait();
  }

  // Reads one byte that the child writes to `fd` within `bound`: false when the bound
  // passed or the pipe closed first.
  static bool read_signal(int fd, std::chrono::milliseconds bound = kEventBound) {
    pollfd one{fd, POLLIN, 0};
    char byte = 0;
    return ::poll(&one, 1, static_cast<int>(bound.count())) > 0 && ::read(fd, &byte, 1) == 1;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

inline bool killed_by(const std::optional<int>& status, int number) {
  return status && WIFSIGNALED(*status) && WTERMSIG(*status) == number;
}
inline bool exited_with(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

}  // namespace aftest
