#pragma once
// Opens a web page in the user's browser: the desktop chooses the browser.

#include <string>

namespace kalvex {

class TGoToWeb {
public:
  std::string Url;
  // False when the desktop could not open the page.
  bool Execute() const;
  // The address as opened: "\" becomes "/".
  static std::string NormalisedUrl(std::string url);
};

}  // namespace kalvex
