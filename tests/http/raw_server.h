// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A tiny HTTP/1.1 server on 127.0.0.1 (port 0) for the transport tests: it keeps every
// request exactly as it arrived on the wire and answers with bytes the test writes itself,
// so request lines, header order and odd answers (huge header blocks, stalls) can be seen.
// The pauses of a stall and a trickle are the server's own, each ended by its stop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/fetch.h"
#include "support/bounded_wait.h"

namespace aftest {

struct RawRequest {
  std::string head;  // request line and header lines, each ending in CR LF, blank line excluded
  std::string body;
  int connection = 0;  // 1 for the first accepted connection, 2 for the next, ...

  std::string request_line() const { return head.substr(0, head.find("\r\n")); }
  // Header lines in order, without the request line.
  std::vector<std::string> header_lines() const {
    std::vector<std::string> lines;
    std::size_t begin = head.find("\r\n");
    while (begin != std::string::npos && begin + 2 < head.size()) {
      std::size_t end = head.find("\r\n", begin + 2);
      lines.push_back(head.substr(begin + 2, end - begin - 2));
      begin = end;
    }
    return lines;
  }
  // Values of every header of that name (any letter case).
  std::vector<std::string> values(const std::string& name) const {
    std::vector<std::string> found;
    for (const std::string& line : header_lines()) {
      std::size_t colon = line.find(':');
      if (colon == std::string::npos || !same(line.substr(0, colon), name)) continue;
      std::size_t start = line.find_first_not_of(' ', colon + 1);
      found.push_back(start == std::string::npos ? std::string() : line.substr(start));
    }
    return found;
  }
  static bool same(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
  }
};

// Answers a handler may give instead of response bytes.
inline const std::string kStall = "\x01stall";  // hold the connection, never answer
inline const std::string kDrop = "\x01drop";    // close without a byte
// A 200 answer announcing a large body that then arrives one byte every 20 ms, for ever.
inline const std::string kTrickle = "\x01trickle";

inline std::string http_answer(const std::string& status, const std::string& headers, const std::string& body) {
  std::string text = "HTTP/1.1 " + status + "\r\n" + headers;
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  return text;
}

// A "200 OK" answer with the given body and extra header lines.
inline std::string ok(const std::string& body, const std::string& headers = {}) {
  return http_answer("200 OK", headers, body);
}

class RawServer {
 public:
  using Handler = std::function<std::string(const RawRequest&)>;

  explicit RawServer(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listen_fd_, 16);
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
  }

  ~RawServer() {
    stop_ = true;
    acceptor_.join();
    for (std::thread& t : workers_) t.join();
    ::close(listen_fd_);
  }

  int port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<RawRequest> requests() {
    std::lock_guard guard(mutex_);
    return requests_;
  }
  RawRequest last() {
    std::lock_guard guard(mutex_);
    return requests_.empty() ? RawRequest{} : requests_.back();
  }

 private:
  bool wait_readable(int fd) {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) return true;
    }
    return false;
  }

  void accept_loop() {
    int next = 0;
    while (wait_readable(listen_fd_)) {
      int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) continue;
      int id = ++next;
      workers_.emplace_back([this, fd, id] { serve(fd, id); });
    }
  }

  void serve(int fd, int id) {
    std::string buffer;
    for (;;) {
      std::size_t end;
      while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (!read_more(fd, buffer)) return finish(fd);
      }
      RawRequest request;
      request.head = buffer.substr(0, end + 2);
      request.connection = id;
      std::size_t length = 0;
      for (const std::string& v : request.values("Content-Length")) length = std::stoul(v);
      buffer.erase(0, end + 4);
      while (buffer.size() < length) {
        if (!read_more(fd, buffer)) return finish(fd);
      }
      request.body = buffer.substr(0, length);
      buffer.erase(0, length);
      {
        std::lock_guard guard(mutex_);
        requests_.push_back(request);
      }
      std::string answer = handler_(request);
      if (answer == kStall) {
        while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return finish(fd);
      }
      if (answer == kDrop) return finish(fd);
      if (answer == kTrickle) {
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n";
        if (::send(fd, head.data(), head.size(), MSG_NOSIGNAL) <= 0) return finish(fd);
        while (!stop_ && ::send(fd, "x", 1, MSG_NOSIGNAL) == 1)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return finish(fd);
      }
      for (std::size_t done = 0; done < answer.size();) {
        ssize_t n = ::send(fd, answer.data() + done, answer.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return finish(fd);
        done += static_cast<std::size_t>(n);
      }
      if (answer.find("Connection: close") != std::string::npos) return finish(fd);
    }
  }

  bool read_more(int fd, std::string& buffer) {
    if (!wait_readable(fd)) return false;
    char chunk[4096];
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  void finish(int fd) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }

  Handler handler_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::vector<RawRequest> requests_;
};

// The base address of a port on 127.0.0.1 on which nothing listens: bound and closed again.
inline std::string closed_base() {
  return RawServer([](const RawRequest&) { return ok(""); }).base();
}

// Lets a deadline of `deadline_ms` pass as a transfer measures it on this machine: a fetch
// with that deadline and no gate, of an answer that trickles for ever, ends at the deadline.
// True when it did; a transfer held since before the call has been held longer.
inline bool deadline_passed(long deadline_ms) {
  RawServer trickle([](const RawRequest&) { return kTrickle; });
  af::PageRequest request;
  request.deadline_ms = deadline_ms;
  return af::fetch_page(trickle.base() + "/witness", request).failure == af::FetchFailure::Deadline;
}

// Lets a fetch held by `control` go on (`resume`) or ends it, then waits, within the bound,
// for its thread `fetcher` to set `done`, and joins it. False when it never did.
template <class Control>
bool release_held_fetch(Control& control, bool resume, const std::atomic<bool>& done, std::thread& fetcher) {
  if (resume)
    control.resume();
  else
    control.end();
  if (!eventually([&] { return done.load(); })) return false;
  fetcher.join();
  return true;
}

}  // namespace aftest
