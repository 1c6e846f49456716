#pragma once
// One running window per user: a second start of the program hands its
// parameters (a file, "/send") to the window that runs and exits.
//
// The instances meet in a shared block named after the program file (and
// the user), guarded by a semaphore of the same name + "Sem". The block
// holds the listening instance's process id, its Active and
// ShowOnNewInstance flags and room for ten parameters of 300 characters;
// the parameters travel over a local socket that only this user can reach.

#include <QObject>
#include <QStringList>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

class QLocalServer;
class QSharedMemory;
class QSystemSemaphore;

namespace kalvex {

class EOneInstance : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The shared block's layout (3020 bytes).
inline constexpr int kInstanceBlockSize = 3020;
inline constexpr int kBlockPidOffset = 0;     // 32-bit process id of the listener
inline constexpr int kBlockActiveOffset = 4;  // 0 or 1
inline constexpr int kBlockShowOffset = 5;    // 0 or 1
inline constexpr int kBlockCountOffset = 6;   // signed 32-bit, 0..10
inline constexpr int kBlockSlotsOffset = 10;
inline constexpr int kMaxHandedParameters = 10;
inline constexpr int kMaxParameterLength = 300;
inline constexpr int kSlotSize = kMaxParameterLength + 1;
// Count and slots: what a hand-over carries.
inline constexpr int kHandoverSize = kInstanceBlockSize - kBlockCountOffset;

// Count and slots of a parameter list: at most 10, each cut to 300 bytes.
std::array<char, kHandoverSize> EncodeParameters(const QStringList& parameters);
// The list back; a count outside 0..10 is taken as 0, a slot ends at its
// zero or its end.
QStringList DecodeParameters(const char* handover);

class TOneInstance final : public QObject {
  Q_OBJECT
public:
  // baseName: the program file's name (the default); a second one in the
  // process throws "Drop only one of these components on your form !".
  explicit TOneInstance(std::string baseName = {}, QObject* parent = nullptr);
  ~TOneInstance() override;

  bool Active() const { return active_; }
  void SetActive(bool active);
  bool ShowOnNewInstance() const { return showOnNewInstance_; }
  void SetShowOnNewInstance(bool show);
  // How long a hand-over waits for the running instance (each wait).
  int TimeoutMs = 10000;

  // The start-up check, with this start's parameters. True when they were
  // handed to the running instance: this process ends without a window.
  bool Start(const QStringList& parameters);
  // This process hands over: it does not listen and Active is on.
  bool AnotherInstanceRunning() const { return !listening_ && active_; }
  bool Listening() const { return listening_; }
  // The window closes: later starts no longer hand over to it (they start
  // their own), while this process still counts as the listener.
  void StopListening();

  // Parameters another start handed over; the window is brought to the
  // front first when ShowOnNewInstance is on.
  std::function<void(TOneInstance& sender, const QStringList& parameters)> OnInstanceStarted;
  std::function<void()> BringToFront;

  const std::string& BaseName() const { return base_; }
  // The names the instances meet under, private to this user.
  QString BlockKey() const;
  QString SemaphoreKey() const;
  QString ServerName(int64_t pid) const;

private:
  void StartListening();
  bool SendToFirstInstance(const QStringList& parameters);
  bool ListenerAlive(int64_t pid) const;
  void HandleConnection();
  void WriteByte(int offset, bool value);

  std::string base_;
  bool active_ = true;
  bool showOnNewInstance_ = true;
  bool listening_ = false;
  std::unique_ptr<QSharedMemory> block_;
  std::unique_ptr<QSystemSemaphore> semaphore_;
  QLocalServer* server_ = nullptr;
};

}  // namespace kalvex
