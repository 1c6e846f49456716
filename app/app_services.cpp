#include "app/app_services.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "app/form_state.h"
#include "app/one_instance.h"
#include "app/splash_form.h"
#include "util/paths.h"
#include "workbench/kvx_form.h"

namespace kalvex {

namespace {
constexpr int kMaxRecentFiles = 15;
}

TAppServices::TAppServices(TOneInstance* oneInstance) : oneInstance_(oneInstance) {}
TAppServices::~TAppServices() = default;

void TAppServices::Attach(TKVXForm& form) {
  MRUFiles.SetMaxItems(kMaxRecentFiles);
  MRUFiles.SetBaseMenu(form.FileMenu);
  MRUFiles.OnClick = [&form](THistoryList&, const std::string& file) { form.LoadOutFile(file); };
  form.OnRecentFile = [this](const std::string& file) { MRUFiles.AddFile(file); };
  form.SaveRecentFiles = [this] { MRUFiles.SaveToRegistry(); };
  form.LoadFormState = [this, &form](TRegIniFile& ini, const std::string& section) {
    showMainWindow_ = RestoreFormState(form, ini, section);
  };
  form.SaveFormState = [&form](TRegIniFile& ini, const std::string& section) { SaveFormState(form, ini, section); };
  form.ShowAbout = [this] {
    if (splash_) splash_->ShowAbout();
  };
  if (oneInstance_) {
    form.AnotherInstanceRunning = [this] { return oneInstance_->AnotherInstanceRunning(); };
    form.OnOneInstanceActive = [this](bool active) { oneInstance_->SetActive(active); };
    form.OnClosing = [this] { oneInstance_->StopListening(); };
    oneInstance_->OnInstanceStarted = [&form](TOneInstance&, const QStringList& parameters) {
      form.HandleParameters(parameters);
    };
    oneInstance_->BringToFront = [&form] {
      if (form.isMinimized()) form.showNormal();
      form.show();
      form.raise();
      form.activateWindow();
    };
  }
}

void TAppServices::Created(TKVXForm& form) {
  MRUFiles.SetRegPath(RegCompanyPath(true));
  if (!form.ShowSplashScreen()) SplashDisabled = true;
  splash_ = std::make_unique<TSplashForm1>();
  QApplication::setWindowIcon(QIcon(":/kalvex/kalvex.png"));  // after the splash loaded the pictures
  QGuiApplication::setDesktopFileName("com.zelksoftware.kalvex");
}

namespace {

// Runs once after the window's first paint.
class TAfterFirstPaint final : public QObject {
public:
  TAfterFirstPaint(QWidget& window, std::function<void()> then) : QObject(&window), then_(std::move(then)) {
    window.installEventFilter(this);
  }
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() == QEvent::Paint) {
      watched->removeEventFilter(this);
      QTimer::singleShot(0, this, [this] {
        then_();
        deleteLater();
      });
    }
    return false;
  }

private:
  std::function<void()> then_;
};

}  // namespace

void TAppServices::Show(TKVXForm& form) {
  if (!showMainWindow_) {
    splash_->ShowSplash();
    return;
  }
  // The splash waits for the window's first paint, so it never holds it up.
  new TAfterFirstPaint(form, [this] { splash_->ShowSplash(); });
  form.show();
}

namespace {

int gSignalPipe[2] = {-1, -1};

void OnQuitSignal(int) {
  const char c = 1;
  [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &c, 1);
}

// A window that is sending closes once the send has stopped (within a
// nap): it is asked again until it is closed, then the program ends.
void CloseAndQuit(QWidget& window) {
  if (window.close())
    QApplication::quit();
  else
    QTimer::singleShot(20, &window, [&window] { CloseAndQuit(window); });
}

// A desktop that logs out, or a kill, closes the window the normal way, so
// its settings and recent files are kept.
void CloseOnQuitSignals(QWidget& window) {
  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, &window);
  QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
    char c;
    while (::read(gSignalPipe[0], &c, 1) > 0) {
    }
    CloseAndQuit(window);
  });
  struct sigaction action {};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace

// File names as this process sees them: a running window that takes them
// over has another current folder, and the recent-files list keeps them.
QStringList AbsoluteFileNames(QStringList parameters) {
  for (QString& p : parameters) {
    const QString lower = p.toLower();
    if (!p.isEmpty() && lower != "/send" && lower != "-send" && QFileInfo(p).isRelative())
      p = QFileInfo(p).absoluteFilePath();
  }
  return parameters;
}

int RunWindowProgram(const QStringList& given) {
  const QStringList parameters = AbsoluteFileNames(given);
  TOneInstance oneInstance;
  if (oneInstance.Start(parameters)) return 0;  // handed to the running window
  TAppServices services(&oneInstance);
  TKVXForm window(parameters, nullptr, [&services](TKVXForm& form) { services.Attach(form); });
  services.Created(window);
  CloseOnQuitSignals(window);
  services.Show(window);
  return QApplication::exec();
}

}  // namespace kalvex
