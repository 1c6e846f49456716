#include "app/go_to_web.h"

#include <QUrl>
#include <algorithm>

#include "util/shell_open.h"

namespace kalvex {

std::string TGoToWeb::NormalisedUrl(std::string url) {
  std::replace(url.begin(), url.end(), '\\', '/');
  return url;
}

bool TGoToWeb::Execute(std::function<void()> failedLater) const {
  const QUrl url(QString::fromStdString(NormalisedUrl(Url)), QUrl::TolerantMode);
  return url.isValid() && !url.isEmpty() && ShellOpen(url.toString().toStdString(), {}, {}, std::move(failedLater));
}

}  // namespace kalvex
