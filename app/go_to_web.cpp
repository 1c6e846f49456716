#include "app/go_to_web.h"

#include <QDesktopServices>
#include <QUrl>
#include <algorithm>

namespace kalvex {

std::string TGoToWeb::NormalisedUrl(std::string url) {
  std::replace(url.begin(), url.end(), '\\', '/');
  return url;
}

bool TGoToWeb::Execute() const {
  const QUrl url(QString::fromStdString(NormalisedUrl(Url)), QUrl::TolerantMode);
  return url.isValid() && !url.isEmpty() && QDesktopServices::openUrl(url);
}

}  // namespace kalvex
