#pragma once
// One running window per user: a second start of the program hands its
// parameters (a file, "/send") to the window that runs and exits.
//
// The instances meet in a folder that only this user can use (the runtime
// folder, or a 0700 folder of the user's own in the temporary folder, both
// checked for owner and mode before use): the window that runs holds an
// exclusive lock on a file there and listens on a local socket beside it.
// A later start that cannot take the lock connects, waits for the running
// window's greeting (which says whether it takes hand-overs), sends up to ten
// parameters of 300 characters and waits for the answer. Every wait is
// bounded; a crashed window releases its lock with its process, and a hung
// one only makes the next start wait for the time-out and run on its own.

#include <QObject>
#include <QStringList>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

class QLocalServer;

namespace kalvex {

class EOneInstance : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

inline constexpr int kMaxHandedParameters = 10;
inline constexpr int kMaxParameterLength = 300;
inline constexpr int kSlotSize = kMaxParameterLength + 1;
// What a hand-over carries: a 32-bit count and ten slots.
inline constexpr int kHandoverSize = 4 + kMaxHandedParameters * kSlotSize;

// Count and slots of a parameter list: at most 10, each cut to 300 bytes.
std::array<char, kHandoverSize> EncodeParameters(const QStringList& parameters);
// The list back; a count outside 0..10 is taken as 0, a slot ends at its
// zero or its end.
QStringList DecodeParameters(const char* handover);

// The folder the instances meet in, made and checked: empty when there is
// none that only this user can use (then every start runs on its own).
std::string PrivateInstanceFolder();

class TOneInstance final : public QObject {
  Q_OBJECT
public:
  // baseName: the program file's name (the default); a second one in the
  // process throws "Drop only one of these components on your form !".
  explicit TOneInstance(std::string baseName = {}, QObject* parent = nullptr);
  ~TOneInstance() override;

  bool Active() const { return active_; }
  void SetActive(bool active) { active_ = active; }
  bool ShowOnNewInstance() const { return showOnNewInstance_; }
  void SetShowOnNewInstance(bool show) { showOnNewInstance_ = show; }
  // How long a hand-over waits for the running instance (each wait).
  int TimeoutMs = 10000;

  // The start-up check, with this start's parameters. True when they were
  // handed to the running instance: this process ends without a window.
  bool Start(const QStringList& parameters);
  // This process handed its parameters over (it shows no window).
  bool AnotherInstanceRunning() const { return handedOver_; }
  bool Listening() const { return server_ != nullptr; }
  // The window closes: later starts no longer hand over to it (they start
  // their own).
  void StopListening();

  // Parameters another start handed over; the window is brought to the
  // front first when ShowOnNewInstance is on.
  std::function<void(TOneInstance& sender, const QStringList& parameters)> OnInstanceStarted;
  std::function<void()> BringToFront;

  const std::string& BaseName() const { return base_; }
  // Where the running instance listens and what it holds locked; empty
  // without a private folder.
  QString ServerName() const;
  QString LockName() const;

private:
  bool StartListening();
  int HandOver(const QStringList& parameters);
  void HandleConnection();

  std::string base_;
  std::string folder_;
  bool active_ = true;
  bool showOnNewInstance_ = true;
  bool handedOver_ = false;
  int lockFd_ = -1;
  QLocalServer* server_ = nullptr;
};

}  // namespace kalvex
