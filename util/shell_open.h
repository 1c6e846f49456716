#pragma once
#include <functional>
#include <string>

namespace kalvex {

// Opens a document, folder or web address with the desktop's default
// application; true on success. A relative file name is taken relative to
// directory (the current folder when empty). Desktop launchers take no
// arguments, so a non-empty parameters text makes an executable file be
// started with it instead. Needs a QGuiApplication. Lives in kalvex_util_gui
// so that kalvex_util stays free of Qt GUI.
//
// The desktop's opener (xdg-open) is started and not waited for: it may
// stay until the viewer is closed. It still says when it found nothing to
// open with (it exits non-zero, or is not there to start): failedLater then
// runs, on this thread, after the call has returned true.
bool ShellOpen(const std::string& file, const std::string& parameters = {}, const std::string& directory = {},
               std::function<void()> failedLater = {});

// Opens a web page in the user's browser: the desktop chooses the browser.
class TGoToWeb {
public:
  std::string Url;
  // False when the desktop could not open the page; failedLater runs when
  // it says so only after it started (no browser for web pages).
  bool Execute(std::function<void()> failedLater = {}) const;
  // The address as opened: "\\" becomes "/".
  static std::string NormalisedUrl(std::string url);
};

}  // namespace kalvex
