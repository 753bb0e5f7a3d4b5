#include "ui/browser_page.h"

namespace af {

BrowserPage::BrowserPage(QWebEngineProfile* profile, QObject* parent) : QWebEnginePage(profile, parent) {
  connect(this, &QWebEnginePage::linkHovered, this, [this](const QString& url) { status_text_ = url; });
}

QWebEnginePage* BrowserPage::createWindow(WebWindowType) {
  ++refused_windows_;
  if (new_window_handler_) new_window_handler_();
  return nullptr;
}

}  // namespace af
