#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <unistd.h>

#include "util/paths.h"
#include "midi/loopback/loopback_service.h"
#include "midi/midi_system.h"
#include "app/app_services.h"
#include "workbench/kvx_form.h"

namespace {

// Milliseconds since this process started (the kernel's start time, in clock ticks).
long MsSinceProcessStart() {
  std::ifstream stat("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long startTicks = 0;
  for (int i = 3; i <= 22 && fields >> field; ++i)
    if (i == 22) startTicks = std::stoull(field);
  timespec boot{};
  clock_gettime(CLOCK_BOOTTIME, &boot);
  const double now = boot.tv_sec * 1000.0 + boot.tv_nsec / 1e6;
  return static_cast<long>(now - startTicks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK)));
}

}  // namespace

// The window, loaded by the program only when it shows one: the command-line
// modes then never load Qt's widget and GUI libraries (they would double
// the memory of a streamed convert).
extern "C" __attribute__((visibility("default"))) int KalvexWindowMain(int argc, char** argv) {
  // The program set its path in the core that this module shares. The
  // window: a file to load and "/send" come as its parameters.
  QApplication app(argc, argv);
  QStringList parameters = QApplication::arguments();
  parameters.removeFirst();
  // The start-up benchmark's switch; a number above 2 asks for that many
  // loopback cables, as a studio with more virtual ports would have.
  if (const char* report = std::getenv("KALVEX_REPORT_STARTUP")) {
    kalvex::MidiDeviceNotifier();
    for (int n = 3; n <= std::atoi(report); ++n)
      kalvex::LoopbackService().AddCable("Kalvex Loopback " + std::to_string(n));
  }
  if (!std::getenv("KALVEX_REPORT_STARTUP")) return kalvex::RunWindowProgram(parameters);
  // For the start-up benchmark: how long until the window was shown and
  // painted (the splash comes after that), then quit.
  kalvex::TAppServices services(nullptr);
  kalvex::TKVXForm window(parameters, nullptr, [&services](kalvex::TKVXForm& form) { services.Attach(form); });
  services.Created(window);
  services.Show(window);
  {
    QTimer::singleShot(0, [&window] {
      window.repaint();
      std::printf("startup_ms %ld\n", MsSinceProcessStart());
      std::fflush(stdout);
      QApplication::quit();
    });
  }
  return QApplication::exec();
}
