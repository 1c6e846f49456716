#pragma once
// Opens a web page in the user's browser: the desktop chooses the browser.

#include <functional>
#include <string>

namespace kalvex {

class TGoToWeb {
public:
  std::string Url;
  // False when the desktop could not open the page; failedLater runs when
  // it says so only after it started (no browser for web pages).
  bool Execute(std::function<void()> failedLater = {}) const;
  // The address as opened: "\" becomes "/".
  static std::string NormalisedUrl(std::string url);
};

}  // namespace kalvex
