#pragma once
// The login browser's page. It keeps the status-bar text (the address of the link under
// the pointer) and turns every request for a new window into a navigation in place:
// no second window is ever created.
#include <QWebEnginePage>
#include <functional>

namespace af {

class BrowserPage : public QWebEnginePage {
  Q_OBJECT
 public:
  explicit BrowserPage(QWebEngineProfile* profile, QObject* parent = nullptr);

  // The text the shown page last put into the status bar; while the pointer rests on
  // a link it is that link's address, "" after it leaves.
  QString status_text() const { return status_text_; }

  // Called instead of opening a window; the window's keep_in_page.
  void set_new_window_handler(std::function<void()> handler) { new_window_handler_ = std::move(handler); }
  int refused_windows() const { return refused_windows_; }

 protected:
  QWebEnginePage* createWindow(WebWindowType type) override;

 private:
  QString status_text_;
  std::function<void()> new_window_handler_;
  int refused_windows_ = 0;
};

}  // namespace af
