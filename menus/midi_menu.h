#pragma once
// The MIDI In and MIDI Out menus: each owns its device object and turns a
// menu of the main window into a device chooser ("none", a separator, the
// devices; a check mark at the one in use), remembers the choice in the
// settings, follows devices that come and go, and opens a stored device
// that was missing at start as soon as it appears (late binding).

#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "midi/midi_input.h"
#include "midi/midi_output.h"
#include "util/registry.h"

class QAction;
class QMenu;
class QTimer;

namespace kalvex {

class TMidiMenuBase : public QObject {
  Q_OBJECT
public:
  static constexpr int kNoneTag = 30000;
  static constexpr int kSeparatorTag = -23;
  static constexpr int kMapperTag = -1;
  static constexpr int kNewDeviceTimerMs = 10000;
  static constexpr const char* kPlaceholderRegPath = "Company\\Program Name";

  ~TMidiMenuBase() override;

  QMenu* BaseMenu() const { return base_; }
  // Takes over the menu's entries and builds the device list.
  void SetBaseMenu(QMenu* menu);

  std::string RegKey = "MidiDevices";
  std::string RegPath = kPlaceholderRegPath;
  bool DefaultMidiMapper = false;
  int LastDeviceCount = -1;
  std::string LateBindingName;

  using TNotify = std::function<void(TMidiMenuBase& sender)>;
  using TText = std::function<void(TMidiMenuBase& sender, const std::string& text)>;
  TNotify OnAfterOpen, OnBeforeClose;
  TText OnError, OnTextMessage;
  // A click on an entry asks first: true when the owner takes the change to
  // do later (the check marks stay as they are meanwhile).
  std::function<bool(std::function<void()> change)> BeforeChange;

  // Opens the stored device; errors of the store are ignored.
  void LoadSettings();
  virtual void LoadFromIni(TRegIniFile& ini);
  virtual void SaveToIni(TRegIniFile& ini);

  void SelectNoneEntry();
  void SelectDeviceEntry(QAction* entry);
  void UpdateChecks();
  // The index of the first entry with the tag, -1 when none has it.
  int FindEntryByTag(int tag) const;
  void RefreshDeviceList(bool force, bool startTimer);
  bool CloseDevice();
  void OpenDevice(int id);

  virtual TMidiDeviceBase& Device() = 0;
  bool NewDeviceTimerActive() const;
  // The menu's own entries, separator included; commands the owner added
  // after them are not among them.
  std::vector<QAction*> Entries() const;

protected:
  TMidiMenuBase();
  virtual int GetNumDevs() = 0;
  virtual std::vector<std::unique_ptr<TMidiDeviceBase>> FillDeviceList() = 0;
  virtual std::string GetRegValueName() const = 0;
  virtual const char* Direction() const = 0;  // "IN" or "OUT"
  virtual void StartDevice() {}
  virtual void StopDevice() {}
  void Report(const std::string& text);

private:
  QAction* AddEntry(const QString& caption, int tag);
  QAction* FirstCommand() const;
  void EntryClicked(QAction* entry);
  bool ListedAsBefore(const std::vector<std::unique_ptr<TMidiDeviceBase>>& list) const;
  void NewDeviceTimerFired();

  QMenu* base_ = nullptr;
  QTimer* newDeviceTimer_ = nullptr;
};

class TMidiInMenu final : public TMidiMenuBase {
  Q_OBJECT
public:
  TMidiInMenu();
  ~TMidiInMenu() override;
  TMidiDeviceBase& Device() override { return *input_; }
  TMidiInput& Input() { return *input_; }

  bool ActiveSensing() const { return activeSensing_; }
  void SetActiveSensing(bool on);
  bool TimingClock() const { return timingClock_; }
  void SetTimingClock(bool on);
  bool SysExOnly() const { return sysExOnly_; }
  void SetSysExOnly(bool on);
  void SetDataNotification(std::function<void(TMidiInput&)> handler) { input_->OnDataAvailable = std::move(handler); }

  void LoadFromIni(TRegIniFile& ini) override;
  void SaveToIni(TRegIniFile& ini) override;

protected:
  int GetNumDevs() override;
  std::vector<std::unique_ptr<TMidiDeviceBase>> FillDeviceList() override;
  std::string GetRegValueName() const override { return "MidiIn"; }
  const char* Direction() const override { return "IN"; }
  void StartDevice() override { input_->Start(); }
  void StopDevice() override { input_->Stop(); }

private:
  std::unique_ptr<TMidiInput> input_;
  bool activeSensing_ = false, timingClock_ = false, sysExOnly_ = false;
};

class TMidiOutMenu final : public TMidiMenuBase {
  Q_OBJECT
public:
  TMidiOutMenu();
  ~TMidiOutMenu() override;
  TMidiDeviceBase& Device() override { return *output_; }
  TMidiOutput& Output() { return *output_; }

  void LoadFromIni(TRegIniFile& ini) override;
  void SaveToIni(TRegIniFile& ini) override;

protected:
  int GetNumDevs() override;
  std::vector<std::unique_ptr<TMidiDeviceBase>> FillDeviceList() override;
  std::string GetRegValueName() const override { return "MidiOut"; }
  const char* Direction() const override { return "OUT"; }

private:
  std::unique_ptr<TMidiOutput> output_;
};

}  // namespace kalvex
