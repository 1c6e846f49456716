#include "util/shell_open.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

namespace kalvex {

bool ShellOpen(const std::string& file, const std::string& parameters, const std::string& directory) {
  if (file.empty()) return false;
  const QString name = QString::fromStdString(file);
  const QString dir = directory.empty() ? QDir::currentPath() : QString::fromStdString(directory);
  const QUrl asUrl(name);
  if (asUrl.isValid() && asUrl.scheme().size() > 1) return QDesktopServices::openUrl(asUrl);  // "https:", "mailto:"

  const QFileInfo info(QDir(dir), name);
  if (!info.exists()) return false;
  if (!parameters.empty() && info.isExecutable() && info.isFile()) {
    return QProcess::startDetached(info.absoluteFilePath(),
                                   QProcess::splitCommand(QString::fromStdString(parameters)), dir);
  }
  return QDesktopServices::openUrl(QUrl::fromLocalFile(info.absoluteFilePath()));
}

}  // namespace kalvex
