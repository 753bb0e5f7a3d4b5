// SPDX-License-Identifier: GPL-3.0-or-later
// Faults switched on per path, and the link every answer travels (latency, bandwidth).
#include "service_impl.h"

namespace afsample {

void send_half_then_close(httplib::Response& res) {
  auto body = std::make_shared<std::string>(res.body);
  const std::string type = res.get_header_value("Content-Type");
  res.body.clear();
  res.set_content_provider(body->size(), type,
                           [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                             const std::size_t half = body->size() / 2;
                             if (offset < half) {
                               sink.write(body->data() + offset, half - offset);
                               return true;
                             }
                             return false;
                           });
}

void SampleService::Impl::login_json(httplib::Response& res) const {
  res.set_content("{\"ok\":-100,\"url\":\"https:\\/\\/weibo.com\\/login.php?url=https%3A%2F%2Fweibo.com\"}",
                  "application/json; charset=utf-8");
}

std::optional<Fault> SampleService::Impl::take_fault(const std::string& path, const std::string& query) {
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (it->path != path) continue;
    if (!it->query_contains.empty() && query.find(it->query_contains) == std::string::npos) continue;
    Fault fault = *it;
    if (it->times > 0 && --it->times == 0) faults.erase(it);
    return fault;
  }
  return std::nullopt;
}

bool SampleService::Impl::fault_answer(const Fault& fault, httplib::Response& res,
                                       std::unique_lock<std::mutex>& lock) {
  switch (fault.kind) {
    case FaultKind::Empty:
      res.set_content("", "text/html");
      return true;
    case FaultKind::NotJson:
      res.set_content("result:true data:{album_list:[", "text/plain");
      return true;
    case FaultKind::Html:
      res.set_content(
          "<!DOCTYPE html><html><head><title>Busy</title></head><body>Try again later</body></html>",
          "text/html; charset=utf-8");
      return true;
    case FaultKind::Redirect:
      res.status = 302;
      res.set_header("Location", fault.location.empty() ? base() + "/login" : fault.location);
      res.set_content("", "text/html");
      return true;
    case FaultKind::NotFound:
      res.status = 404;
      res.set_content("<html><body>404 Not Found</body></html>", "text/html");
      return true;
    case FaultKind::ServerError:
      res.status = 500;
      res.set_content("<html><body>500 Internal Server Error</body></html>", "text/html");
      return true;
    case FaultKind::Slow:
      // Cut short when the service stops, so that a test ends without waiting for it.
      stop_changed.wait_for(lock, fault.delay, [&, at = resets] { return hold_ended(at); });
      return false;
    case FaultKind::Status:
      res.status = fault.status;
      if (!fault.retry_after.empty()) res.set_header("Retry-After", fault.retry_after);
      if (fault.status == 432) {
        res.set_content("<html><body>432</body></html>", "text/html; charset=utf-8");
        return true;
      }
      res.set_content(
          "<html><body>\xE8\xAF\xB7\xE6\xB1\x82\xE8\xBF\x87\xE4\xBA\x8E\xE9\xA2\x91"
          "\xE7\xB9\x81</body></html>",  // 请求过于频繁
          "text/html; charset=utf-8");
      return true;
    case FaultKind::LoginJson:
      login_json(res);
      return true;
    case FaultKind::LoginPage:
      login_page(res);
      return true;
    case FaultKind::Drop:
    case FaultKind::Stall:
    case FaultKind::Trickle:
      return false;  // answered as usual, then cut or slowed
  }
  return false;
}

void SampleService::Impl::fault_after(const Fault& fault, httplib::Response& res) {
  if ((fault.kind == FaultKind::Stall || fault.kind == FaultKind::Trickle)) {
    auto body = std::make_shared<std::string>(res.body);
    const std::string type = res.get_header_value("Content-Type");
    const bool stall = fault.kind == FaultKind::Stall;
    const auto delay = fault.delay;
    res.body.clear();
    res.set_content_provider(body->size(), type,
                             [body, stall, delay](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               if (stall) {
                                 // A few bytes, then silence; the client gives up first.
                                 if (offset == 0 && !body->empty()) return sink.write(body->data(), 1);
                                 std::this_thread::sleep_for(delay);
                                 return false;
                               }
                               std::this_thread::sleep_for(delay);
                               return sink.write(body->data() + offset, 1);
                             });
  }
  if (fault.kind == FaultKind::Drop) send_half_then_close(res);
}

std::chrono::steady_clock::time_point SampleService::Impl::reserve_link(std::size_t bytes, long long rate) {
  std::lock_guard lock(link_mutex);
  const auto start = std::max(std::chrono::steady_clock::now(), link_free);
  link_free = start + std::chrono::nanoseconds(static_cast<long long>(bytes) * 1000000000LL / rate);
  return link_free;
}

void SampleService::Impl::pace_body(httplib::Response& res, long long rate) {
  auto body = std::make_shared<std::string>(std::move(res.body));
  const std::string type = res.get_header_value("Content-Type");
  res.body.clear();
  res.set_content_provider(
      body->size(), type, [this, body, rate](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        const std::size_t piece = std::min<std::size_t>(16 * 1024, body->size() - offset);
        std::this_thread::sleep_until(reserve_link(piece, rate));
        return sink.write(body->data() + offset, piece);
      });
}

}  // namespace afsample
