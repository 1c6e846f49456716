#include "util/shell_open.h"

#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>
#include <algorithm>
#include <memory>
#include <utility>

#include <QStandardPaths>

namespace kalvex {

namespace {

constexpr qint64 kOpenerVerdictMs = 10000;

// xdg-open, watched: its exit status is the only sign of a desktop with no
// viewer for the document. Without it, Qt's own way (no such sign).
bool OpenWithDesktop(const QUrl& url, std::function<void()> failedLater) {
  const QString opener = QStandardPaths::findExecutable("xdg-open");
  if (opener.isEmpty()) return QDesktopServices::openUrl(url);
  auto* process = new QProcess;
  process->setProgram(opener);
  process->setArguments({url.isLocalFile() ? url.toLocalFile() : url.toString()});
  process->setProcessChannelMode(QProcess::ForwardedChannels);
  auto failed = std::make_shared<std::function<void()>>(std::move(failedLater));
  auto report = [process, failed] {
    process->deleteLater();
    if (*failed) std::exchange(*failed, nullptr)();
  };
  // Without a desktop, xdg-open runs the viewer itself and ends with it:
  // only an early end says that nothing could be opened.
  auto started = std::make_shared<QElapsedTimer>();
  started->start();
  QObject::connect(process, &QProcess::finished, process,
                   [process, report, started](int code, QProcess::ExitStatus status) {
                     if ((code != 0 || status != QProcess::NormalExit) && started->elapsed() < kOpenerVerdictMs)
                       report();
                     else
                       process->deleteLater();
                   });
  QObject::connect(process, &QProcess::errorOccurred, process, [report](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) report();
  });
  process->start();
  return true;
}

}  // namespace

bool ShellOpen(const std::string& file, const std::string& parameters, const std::string& directory,
               std::function<void()> failedLater) {
  if (file.empty()) return false;
  const QString name = QString::fromStdString(file);
  const QString dir = directory.empty() ? QDir::currentPath() : QString::fromStdString(directory);
  const QUrl asUrl(name);
  if (asUrl.isValid() && asUrl.scheme().size() > 1) return OpenWithDesktop(asUrl, std::move(failedLater));  // "https:"

  const QFileInfo info(QDir(dir), name);
  if (!info.exists()) return false;
  if (!parameters.empty() && info.isExecutable() && info.isFile()) {
    return QProcess::startDetached(info.absoluteFilePath(),
                                   QProcess::splitCommand(QString::fromStdString(parameters)), dir);
  }
  return OpenWithDesktop(QUrl::fromLocalFile(info.absoluteFilePath()), std::move(failedLater));
}

std::string TGoToWeb::NormalisedUrl(std::string url) {
  std::replace(url.begin(), url.end(), '\\', '/');
  return url;
}

bool TGoToWeb::Execute(std::function<void()> failedLater) const {
  const QUrl url(QString::fromStdString(NormalisedUrl(Url)), QUrl::TolerantMode);
  return url.isValid() && !url.isEmpty() && ShellOpen(url.toString().toStdString(), {}, {}, std::move(failedLater));
}

}  // namespace kalvex
