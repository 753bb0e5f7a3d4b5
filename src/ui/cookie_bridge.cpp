// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/cookie_bridge.h"

#include <QDateTime>
#include <QNetworkCookie>
#include <QWebEngineCookieStore>

namespace af {

namespace {

std::string bytes_of(const QByteArray& bytes) { return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())); }

QByteArray to_bytes(const std::string& text) { return QByteArray(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

CookieBridge::CookieBridge(QWebEngineCookieStore* browser, QObject* parent)
    : QObject(parent), browser_(browser), save_path_(CookieStore::instance().default_path()) {
  save_timer_.setSingleShot(true);
  save_timer_.setInterval(1000);
  connect(&save_timer_, &QTimer::timeout, this, &CookieBridge::save_now);
  if (!browser_) return;

  CookieStore& store = CookieStore::instance();
  for (const Cookie& cookie : store.all_cookies()) write_to_browser(cookie);

  connect(browser_, &QWebEngineCookieStore::cookieAdded, this, &CookieBridge::on_browser_added);
  connect(browser_, &QWebEngineCookieStore::cookieRemoved, this, &CookieBridge::on_browser_removed);
  browser_->loadAllCookies();

  // Heard on the fetching thread; the browser is written on ours.
  store.set_listener([this](const Cookie& cookie) {
    QMetaObject::invokeMethod(
        this, [this, cookie] { write_to_browser(cookie); schedule_save(); }, Qt::QueuedConnection);
  });
}

CookieBridge::~CookieBridge() {
  // Waits for a listener call in progress; none can reach this object afterwards.
  CookieStore::instance().set_listener(nullptr);
  if (save_timer_.isActive()) save_now();
}

void CookieBridge::set_save_path(const std::string& path) { save_path_ = path; }

Cookie CookieBridge::to_cookie(const QNetworkCookie& cookie) {
  Cookie c;
  c.domain = cookie.domain().toStdString();
  c.include_subdomains = c.domain.size() > 0 && c.domain[0] == '.';
  c.path = cookie.path().isEmpty() ? std::string("/") : cookie.path().toStdString();
  c.secure = cookie.isSecure();
  c.http_only = cookie.isHttpOnly();
  c.expires = cookie.isSessionCookie() ? 0 : cookie.expirationDate().toSecsSinceEpoch();
  if (c.expires == 0 && !cookie.isSessionCookie()) c.expires = 1;  // the epoch itself: long gone
  c.name = bytes_of(cookie.name());
  c.value = bytes_of(cookie.value());
  return c;
}

QNetworkCookie CookieBridge::to_network_cookie(const Cookie& cookie) {
  QNetworkCookie c(to_bytes(cookie.name), to_bytes(cookie.value));
  if (cookie.include_subdomains) c.setDomain(QString::fromStdString(cookie.domain));
  c.setPath(QString::fromStdString(cookie.path.empty() ? std::string("/") : cookie.path));
  c.setSecure(cookie.secure);
  c.setHttpOnly(cookie.http_only);
  if (!cookie.is_session()) c.setExpirationDate(QDateTime::fromSecsSinceEpoch(cookie.expires));
  return c;
}

QUrl CookieBridge::origin_of(const Cookie& cookie) {
  std::string host = cookie.domain;
  while (!host.empty() && host[0] == '.') host.erase(0, 1);
  return QUrl(QString::fromStdString((cookie.secure ? "https://" : "http://") + host + "/"));
}

void CookieBridge::on_browser_added(const QNetworkCookie& cookie) {
  Cookie c = to_cookie(cookie);
  CookieStore::instance().set_cookie(c);
  schedule_save();
}

void CookieBridge::on_browser_removed(const QNetworkCookie& cookie) {
  CookieStore::instance().remove_cookie(to_cookie(cookie));
  schedule_save();
}

void CookieBridge::write_to_browser(const Cookie& cookie) {
  if (!browser_ || cookie.domain.empty()) return;
  QNetworkCookie c = to_network_cookie(cookie);
  if (cookie.is_expired()) browser_->deleteCookie(c, origin_of(cookie));
  else browser_->setCookie(c, origin_of(cookie));
}

void CookieBridge::schedule_save() {
  if (!save_path_.empty()) save_timer_.start();
}

void CookieBridge::save_now() {
  save_timer_.stop();
  if (save_path_.empty()) return;
  auto save = [path = save_path_] { CookieStore::instance().save(path); };
  if (saver_) saver_(std::move(save));
  else save();
}

}  // namespace af
