// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Keeps the login browser's cookie store and the engine's CookieStore in step.
//
// Cookies the browser receives (a login, an accepted album password, HttpOnly ones
// included) are added to CookieStore, so later fetch_page requests to the same hosts carry
// them; cookies that a response of ours sets or removes are written back into the browser
// on the GUI thread. At construction the store's cookies (as loaded from its file) are
// written into the browser and the browser's own are read into the store.
//
// Changes are saved to the store's file a moment after they happen and once more when
// the bridge goes, so persistent cookies survive a restart. Load the store
// (CookieStore::instance().load()) before creating the bridge.
//
//   auto* bridge = new CookieBridge(window->browser_cookie_store(), window);
//
// Lives on the GUI thread; one bridge at a time (it owns the store's listener).
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <string>

#include "http/cookie_store.h"

class QNetworkCookie;
class QWebEngineCookieStore;

namespace af {

class CookieBridge : public QObject {
  Q_OBJECT
 public:
  explicit CookieBridge(QWebEngineCookieStore* browser, QObject* parent = nullptr);
  ~CookieBridge() override;

  // Where changes are saved; empty switches saving off. Default: the store's own file.
  void set_save_path(const std::string& path);
  // Runs each save; by default on the calling thread. The window hands its saves to a
  // writer thread of its own.
  void set_saver(std::function<void(std::function<void()>)> saver) { saver_ = std::move(saver); }

  static Cookie to_cookie(const QNetworkCookie& cookie);
  // The browser's form of a cookie and the origin it is set for. A host-only cookie
  // carries no domain, so the browser binds it to the origin's host alone.
  static QNetworkCookie to_network_cookie(const Cookie& cookie);
  static QUrl origin_of(const Cookie& cookie);

 private:
  void on_browser_added(const QNetworkCookie& cookie);
  void on_browser_removed(const QNetworkCookie& cookie);
  void write_to_browser(const Cookie& cookie);
  void schedule_save();
  void save_now();

  QPointer<QWebEngineCookieStore> browser_;
  std::string save_path_;
  QTimer save_timer_;
  std::function<void(std::function<void()>)> saver_;
};

}  // namespace af
