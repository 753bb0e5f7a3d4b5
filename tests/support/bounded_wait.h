#pragma once
// Waits with a bound, for every test program: a condition looked at until it holds, and
// child processes whose start, signals and end are waited for no longer than a bound.
//
//   ASSERT_TRUE(aftest::eventually([&] { return photos_on_disk() >= 4; })) << "four photos";
//   aftest::Child child = aftest::Child::exec({self, "--gtest_filter=DISABLED_Child.Run",
//                                              "--gtest_also_run_disabled_tests"});
//   ASSERT_TRUE(child.read_signal(ready_fd)) << child.what();
//   child.kill();   // SIGKILL, then reaped within the bound
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
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace aftest {

// The bound of a wait for something the code under test must do: long enough for a loaded
// machine under the sanitizers, short of CTest's timeout so that a test that fails says
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

// This test program's own path, to start it again as a child with a filter.
inline std::string this_program() {
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  path.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return path;
}

// The environment of this process with `extra` ("NAME=value") added.
inline std::vector<std::string> environment_with(const std::vector<std::string>& extra) {
  std::vector<std::string> variables;
  for (char** e = environ; *e; ++e) variables.emplace_back(*e);
  variables.insert(variables.end(), extra.begin(), extra.end());
  return variables;
}

// One child process, killed and reaped when it goes out of scope.
class Child {
 public:
  Child() = default;
  Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)), status_(other.status_), what_(std::move(other.what_)) {}
  Child& operator=(Child&& other) noexcept {
    if (this != &other) {
      kill();
      pid_ = std::exchange(other.pid_, -1);
      status_ = other.status_;
      what_ = std::move(other.what_);
    }
    return *this;
  }
  ~Child() { kill(); }

  // A fresh program: fork, then at once exec `argv` with `env` (this process's environment
  // when empty); its standard output and error go to /dev/null when `quiet`. Descriptors
  // without FD_CLOEXEC are inherited.
  static Child exec(std::vector<std::string> argv, std::vector<std::string> env = {}, bool quiet = true) {
    if (env.empty()) env = environment_with({});
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    const int null_fd = quiet ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
    Child child;
    child.what_ = argv.empty() ? std::string() : argv[0];
    child.pid_ = ::fork();
    if (child.pid_ == 0) {
      if (null_fd >= 0) {
        ::dup2(null_fd, 1);
        ::dup2(null_fd, 2);
      }
      ::execve(args[0], args.data(), envp.data());
      ::_exit(127);
    }
    if (null_fd >= 0) ::close(null_fd);
    return child;
  }

  // A bare fork whose child runs only `body`, which may call async-signal-safe functions
  // alone (pause, _exit, write), then exits 0.
  template <class Body>
  static Child bare(Body body) {
    Child child;
    child.what_ = "a forked child";
    child.pid_ = ::fork();
    if (child.pid_ == 0) {
      body();
      ::_exit(0);
    }
    return child;
  }

  // A child already started some other way (posix_spawn), now owned here.
  static Child adopt(pid_t pid, std::string what) {
    Child child;
    child.pid_ = pid;
    child.what_ = std::move(what);
    return child;
  }

  bool started() const { return pid_ > 0 || status_.has_value(); }
  pid_t pid() const { return pid_; }
  const std::string& what() const { return what_; }
  void signal(int number) const {
    if (pid_ > 0) ::kill(pid_, number);
  }

  // Waits up to `bound` for the child to end: its wait status, or nothing while it runs.
  std::optional<int> wait(std::chrono::milliseconds bound = kEventBound) {
    if (status_ || pid_ <= 0) return status_;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
      int status = 0;
      const pid_t got = ::waitpid(pid_, &status, WNOHANG);
      if (got == pid_ || got < 0) {
        status_ = got == pid_ ? status : -1;
        pid_ = -1;
        return status_;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // SIGKILL and reap; the wait status (a child that had ended already keeps its own).
  std::optional<int> kill() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    return wait();
  }

  // Reads one byte that the child writes to `fd` within `bound`: false when the bound
  // passed, the pipe closed or the child ended first.
  bool read_signal(int fd, std::chrono::milliseconds bound = kEventBound) const {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd one{fd, POLLIN, 0};
      const int ready = ::poll(&one, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
      if (ready > 0) {
        char byte = 0;
        return ::read(fd, &byte, 1) == 1;
      }
    }
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string what_;
};

inline bool killed_by(const std::optional<int>& status, int number) {
  return status && WIFSIGNALED(*status) && WTERMSIG(*status) == number;
}
inline bool exited_with(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

}  // namespace aftest
