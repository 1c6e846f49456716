#pragma once
// What the program brings to its main window: the recent-files list, the
// window's place on the desktop, the single running instance and the
// splash window.

#include <QStringList>
#include <memory>

#include "app/history_list.h"

namespace kalvex {

class TKVXForm;
class TOneInstance;
class TSplashForm1;

class TAppServices {
public:
  // oneInstance may be null (tests, or no shared memory).
  explicit TAppServices(TOneInstance* oneInstance);
  ~TAppServices();

  // Before the window loads its settings: its hooks.
  void Attach(TKVXForm& form);
  // Once the window is made: the recent files load, the splash is created.
  void Created(TKVXForm& form);
  // Shows the window (unless its stored state says not) and then the splash.
  void Show(TKVXForm& form);

  THistoryList MRUFiles;
  TSplashForm1* Splash() const { return splash_.get(); }
  bool ShowMainWindow() const { return showMainWindow_; }

private:
  TOneInstance* oneInstance_;
  std::unique_ptr<TSplashForm1> splash_;
  bool showMainWindow_ = true;
};

// The window's start-up: the single-instance check, the window, the splash
// and the event loop. parameters: the command line after the program.
int RunWindowProgram(const QStringList& parameters);

}  // namespace kalvex
