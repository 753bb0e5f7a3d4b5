// SPDX-License-Identifier: GPL-3.0-or-later
// Images and covers: each photo's faults and the image hosts' rules.
#include "sample_images.h"
#include "service_impl.h"

namespace afsample {

namespace {

// Whether a Referer names a page of the service: http(s)://weibo.com/... or a subdomain.
bool is_service_page(const std::string& referer) {
  std::string rest;
  for (const char* scheme : {"https://", "http://"})
    if (referer.rfind(scheme, 0) == 0) rest = referer.substr(std::char_traits<char>::length(scheme));
  const std::string host = rest.substr(0, rest.find_first_of("/:?#"));
  const std::string domain = "weibo.com";
  return host == domain ||
         (host.size() > domain.size() &&
          host.compare(host.size() - domain.size() - 1, domain.size() + 1, "." + domain) == 0);
}

}  // namespace

std::string SampleService::Impl::cover_address(const SampleAlbum& album) const {
  if (album.cover_pic) return *album.cover_pic;
  return base() + "/large/cover_" + album.album_id + ".jpg";
}

const std::vector<const SamplePhoto*>& SampleService::Impl::photos_named(const std::string& name) const {
  if (photos_stale) {
    photos_by_image.clear();
    for (const auto& u : users)
      for (const auto& a : u.albums)
        for (const auto& p : a.photos) photos_by_image[p.pic_name].push_back(&p);
    photos_stale = false;
  }
  static const std::vector<const SamplePhoto*> none;
  const auto found = photos_by_image.find(name);
  return found == photos_by_image.end() ? none : found->second;
}

std::string SampleService::Impl::image_for(const std::string& name) const {
  if (name.starts_with("cover_"))
    for (const auto& u : users)
      for (const auto& a : u.albums)
        if (name == "cover_" + a.album_id + ".jpg") return make_jpeg("cover " + a.album_id);
  const auto& named = photos_named(name);
  if (named.empty()) return {};
  const SamplePhoto& p = *named.front();
  const bool gif = name.size() >= 4 && name.compare(name.size() - 4, 4, ".gif") == 0;
  return gif ? make_gif(p.photo_id, p.image_size) : make_jpeg(p.photo_id, p.image_size);
}

ImageRules SampleService::Impl::effective_image_rules() const {
  if (image_rules) return *image_rules;
  ImageRules rules;
  if (today()) {
    rules.want_service_referer = true;
    rules.burst = 40;
    rules.refusals = 2;
  }
  return rules;
}

bool SampleService::Impl::image(const httplib::Request& req, const std::string& name, httplib::Response& res,
                                std::unique_lock<std::mutex>& lock) {
  const ImageRules rules = effective_image_rules();
  if (rules.want_service_referer && !is_service_page(req.get_header_value("Referer"))) {
    res.status = 403;
    res.set_content("<html><body>403 Forbidden</body></html>", "text/html");
    return true;
  }
  if (rules.burst > 0) {
    if (images_since_limit >= rules.burst) {
      if (++images_refused >= rules.refusals) images_refused = images_since_limit = 0;
      res.status = rules.limit_status;
      if (rules.retry_after_seconds >= 0)
        res.set_header("Retry-After", std::to_string(rules.retry_after_seconds));
      res.set_content("<html><body>Too Many Requests</body></html>", "text/html");
      return true;
    }
    ++images_since_limit;
  }
  for (const SamplePhoto* named : photos_named(name)) {
    const SamplePhoto& p = *named;
    if (p.image_fault_times == 0) continue;
    if (p.image_fault == ImageFault::Status && p.image_fault_status == 0) continue;
    int& served = image_faults_served[name];
    if (p.image_fault_times < 0 || served < p.image_fault_times) {
      ++served;
      const SamplePhoto photo = p;  // the answer may release the lock
      return image_fault_answer(photo, image_for(name), res, lock);
    }
  }
  std::string bytes = image_for(name);
  if (bytes.empty()) return false;
  const bool gif = bytes.compare(0, 3, "GIF") == 0;
  res.set_content(std::move(bytes), gif ? "image/gif" : "image/jpeg");
  return true;
}

bool SampleService::Impl::image_fault_answer(const SamplePhoto& photo, std::string bytes,
                                             httplib::Response& res, std::unique_lock<std::mutex>& lock) {
  const std::string type = bytes.compare(0, 3, "GIF") == 0 ? "image/gif" : "image/jpeg";
  switch (photo.image_fault) {
    case ImageFault::Status:
      res.status = photo.image_fault_status;
      res.set_content("<html><body>error " + std::to_string(photo.image_fault_status) + "</body></html>",
                      "text/html");
      return true;
    case ImageFault::Empty:
      res.set_content("", type);
      return true;
    case ImageFault::Text:
      res.set_content("upstream error\n", "text/plain");
      return true;
    case ImageFault::Json:
      res.set_content("{\"ok\":0,\"code\":\"100005\",\"msg\":\"please log in first\"}", "application/json");
      return true;
    case ImageFault::LoginPage:
      login_page(res);
      return true;
    case ImageFault::LoginRedirect:
      res.status = 302;
      res.set_header("Location", base() + "/login");
      res.set_content("", "text/html");
      return true;
    case ImageFault::CutOff:
      res.set_content(std::move(bytes), type);
      send_half_then_close(res);
      return true;
    case ImageFault::CutShort:
      bytes.resize(bytes.size() * 2 / 3);
      res.set_content(std::move(bytes), type);
      return true;
    case ImageFault::Stall:
      stop_changed.wait_for(lock, photo.image_fault_delay, [&, at = resets] { return hold_ended(at); });
      res.set_content(std::move(bytes), type);
      return true;
    case ImageFault::Trickle: {
      auto body = std::make_shared<std::string>(std::move(bytes));
      const auto interval = photo.image_fault_delay;
      res.set_content_provider(
          body->size(), type,
          [this, body, interval](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            std::this_thread::sleep_for(interval);
            return !stopping && sink.write(body->data() + offset, 1);
          });
      return true;
    }
  }
  return false;
}

}  // namespace afsample
