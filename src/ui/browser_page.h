// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The login browser's page. It keeps the status-bar text (the address of the link under
// the pointer) and turns every request for a new window into a navigation in place:
// no second window is ever created. The console messages of the pages it shows (a site's
// own script errors) reach stderr only with --web-engine-log.
//
// Addresses are set through set_address, which deals with a typed address the way a
// browser's address bar does ("weibo.com" opens http://weibo.com).
#include <QUrl>
#include <QWebEnginePage>
#include <functional>

class QWebEngineNewWindowRequest;

namespace af {

// The address a browser opens for `text`: the text parsed as it is, or, when that gives
// no scheme, read as an address typed by a person (QUrl::fromUserInput). An empty text
// stays empty.
QUrl browser_address(const QString& text);

class BrowserPage : public QWebEnginePage {
  Q_OBJECT
 public:
  explicit BrowserPage(QWebEngineProfile* profile, QObject* parent = nullptr);

  // Sends the page to browser_address(text).
  void set_address(const QString& text);

  // The text the shown page last put into the status bar; while the pointer rests on
  // a link it is that link's address, "" after it leaves.
  QString status_text() const { return status_text_; }

  // Called instead of opening a window, with the address the new window would have
  // shown (the window's keep_in_page). Never called with an empty address.
  void set_new_window_handler(std::function<void(const QUrl&)> handler) {
    new_window_handler_ = std::move(handler);
  }
  int refused_windows() const { return refused_windows_; }
  // How many console messages were kept off stderr.
  int dropped_console_messages() const { return dropped_console_messages_; }

 protected:
  QWebEnginePage* createWindow(WebWindowType type) override;
  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message, int line,
                                const QString& source) override;

 private:
  void keep_in_page(const QUrl& requested);

  QString status_text_;
  std::function<void(const QUrl&)> new_window_handler_;
  int refused_windows_ = 0;
  int dropped_console_messages_ = 0;
};

}  // namespace af
