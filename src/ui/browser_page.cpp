// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/browser_page.h"

#include <QWebEngineNewWindowRequest>

#include "ui/desktop.h"

namespace af {

QUrl browser_address(const QString& text) {
  // Without "://" the text is what a user types into an address bar: "weibo.com:8080/u/1"
  // is a host with a port, not an address of the scheme "weibo.com".
  if (!text.contains(QStringLiteral("://"))) return QUrl::fromUserInput(text.trimmed());
  return QUrl(text);
}

BrowserPage::BrowserPage(QWebEngineProfile* profile, QObject* parent) : QWebEnginePage(profile, parent) {
  connect(this, &QWebEnginePage::linkHovered, this, [this](const QString& url) { status_text_ = url; });
  // createWindow makes no page, so the engine offers the request (with its address) here
  // instead; it is answered in place and never opened in a page of its own.
  connect(this, &QWebEnginePage::newWindowRequested, this,
          [this](QWebEngineNewWindowRequest& request) { keep_in_page(request.requestedUrl()); });
}

void BrowserPage::set_address(const QString& text) { setUrl(browser_address(text)); }

void BrowserPage::keep_in_page(const QUrl& requested) {
  ++refused_windows_;
  // The link under the pointer comes first, as it always has; a window opened by a
  // script, a form or the keyboard has no link under the pointer, and then the request's
  // own address is shown. With neither, the page stays as it is.
  const QUrl target = status_text_.isEmpty() ? requested : QUrl(status_text_);
  if (target.isEmpty() || !new_window_handler_) return;
  new_window_handler_(target);
}

QWebEnginePage* BrowserPage::createWindow(WebWindowType) { return nullptr; }

void BrowserPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message,
                                           int line, const QString& source) {
  if (web_engine_output_shown()) {
    QWebEnginePage::javaScriptConsoleMessage(level, message, line, source);
    return;
  }
  ++dropped_console_messages_;
}

}  // namespace af
