#include "menus/midi_menu.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <stdexcept>

#include "midi/midi_system.h"
#include "util/ascii.h"
#include "util/trace.h"

namespace kalvex {

namespace {

constexpr const char* kTracePrefix = "             - ";
constexpr const char* kNoneCaption = "none";
constexpr const char* kNoneValue = "(none)";
constexpr const char* kMapperValue = "MIDI Mapper";

bool SameText(const std::string& a, const std::string& b) { return LowerAscii(a) == LowerAscii(b); }

// The device's name as the device layer gives it (UTF-8 from the system),
// kept with its entry for matching; the caption is only for showing.
constexpr const char* kNameProperty = "kalvexDeviceName";
std::string EntryName(const QAction* a) { return a->property(kNameProperty).toByteArray().toStdString(); }

int Tag(const QAction* a) { return a->data().toInt(); }

// The menu's own entries ("none", the separator, the devices) carry this
// mark; the owner may add commands of its own after them.
constexpr const char* kOwnProperty = "kalvexDeviceMenuEntry";
bool Own(const QAction* a) { return a->property(kOwnProperty).toBool(); }
QAction* Marked(QAction* a) {
  a->setProperty(kOwnProperty, true);
  return a;
}
bool IsEntry(const QAction* a) { return a->isVisible() && !a->isSeparator(); }

// The hourglass while a device opens or closes, whatever happens.
struct THourglass {
  THourglass() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~THourglass() { QApplication::restoreOverrideCursor(); }
};

}  // namespace

TMidiMenuBase::TMidiMenuBase() = default;

TMidiMenuBase::~TMidiMenuBase() = default;

void TMidiMenuBase::Report(const std::string& text) {
  if (OnTextMessage) OnTextMessage(*this, text);
}

std::vector<QAction*> TMidiMenuBase::Entries() const {
  std::vector<QAction*> out;
  if (base_)
    for (QAction* a : base_->actions())
      if (a->isVisible() && Own(a)) out.push_back(a);
  return out;
}

// Device entries go before the owner's commands.
QAction* TMidiMenuBase::FirstCommand() const {
  for (QAction* a : base_->actions())
    if (!Own(a)) return a;
  return nullptr;
}

QAction* TMidiMenuBase::AddEntry(const QString& caption, int tag) {
  auto* a = Marked(new QAction(caption, base_));
  a->setData(tag);
  a->setCheckable(true);
  connect(a, &QAction::triggered, this, [this, a] { EntryClicked(a); });
  base_->insertAction(FirstCommand(), a);
  return a;
}

void TMidiMenuBase::SetBaseMenu(QMenu* menu) {
  if (menu == base_) return;
  if (menu)
    for (QAction* a : menu->actions())
      if (a->isVisible() && Own(a)) delete a;
  if (base_) {
    for (QAction* a : base_->actions()) {
      if (!a->isVisible() || !Own(a)) continue;
      base_->removeAction(a);
      if (menu) {
        a->setParent(menu);
        menu->addAction(a);
      } else {
        delete a;
      }
    }
  }
  base_ = menu;
  RefreshDeviceList(true, true);
}

void TMidiMenuBase::EntryClicked(QAction* entry) {
  // The entry may be gone by the time a deferred change runs: it is found
  // again by its name.
  const int tag = Tag(entry);
  const std::string name = EntryName(entry);
  auto change = [this, tag, name] {
    if (tag == kNoneTag) return SelectNoneEntry();
    // By name: the numbers may have shifted meanwhile.
    for (QAction* a : Entries())
      if (IsEntry(a) && EntryName(a) == name) return SelectDeviceEntry(a);
    Report("MIDI " + std::string(Direction()) + " " + name + " went away before it could be opened.");
    UpdateChecks();
  };
  if (BeforeChange && BeforeChange(change)) {
    UpdateChecks();
    return;
  }
  change();
}

bool TMidiMenuBase::CloseDevice() {
  TMidiDeviceBase& d = Device();
  if (d.IsOpen()) {
    const std::string name = d.DisplayName();
    Report(std::string("Closing MIDI ") + Direction() + ": " + name + " ...");
    if (OnBeforeClose) OnBeforeClose(*this);
    StopDevice();
    d.Close();
    Report(std::string("Closed MIDI ") + Direction() + ": " + name);
  }
  d.SetDeviceID(kNoneTag);
  return true;
}

void TMidiMenuBase::OpenDevice(int id) {
  CloseDevice();
  TMidiDeviceBase& d = Device();
  d.SetDeviceID(id);
  if (d.DeviceID() != id) throw std::runtime_error("Invalid Device ID!");
  d.Open();
  if (!d.IsOpen()) throw std::runtime_error("Error: " + d.DisplayName() + " could not be opened.");
  StartDevice();
  Report(std::string("Opened MIDI ") + Direction() + ": " + d.DisplayName());
  if (OnAfterOpen) OnAfterOpen(*this);
}

void TMidiMenuBase::SelectDeviceEntry(QAction* entry) {
  if (!entry) return;
  const int tag = Tag(entry);
  if (Device().DeviceID() == tag && Device().IsOpen()) {
    UpdateChecks();
    return;
  }
  {
    THourglass hourglass;
    try {
      OpenDevice(tag);
      if (Device().IsOpen()) LateBindingName.clear();
    } catch (const std::exception& e) {
      if (OnError) OnError(*this, e.what());
      CloseDevice();
    }
  }
  UpdateChecks();
}

void TMidiMenuBase::SelectNoneEntry() {
  {
    THourglass hourglass;
    CloseDevice();
  }
  UpdateChecks();
}

void TMidiMenuBase::UpdateChecks() {
  const int id = Device().IsOpen() ? Device().DeviceID() : kNoneTag;
  for (QAction* a : Entries())
    if (IsEntry(a)) a->setChecked(Tag(a) == id);
}

int TMidiMenuBase::FindEntryByTag(int tag) const {
  const std::vector<QAction*> entries = Entries();
  for (size_t i = 0; i < entries.size(); ++i)
    if (IsEntry(entries[i]) && Tag(entries[i]) == tag) return static_cast<int>(i);
  return -1;
}

bool TMidiMenuBase::NewDeviceTimerActive() const { return newDeviceTimer_ && newDeviceTimer_->isActive(); }

void TMidiMenuBase::NewDeviceTimerFired() {
  TraceF("%s%s: New Device Timer expired.", kTracePrefix, GetRegValueName().c_str());
  newDeviceTimer_->stop();
  RefreshDeviceList(false, false);
}

void TMidiMenuBase::RefreshDeviceList(bool force, bool startTimer) {
  if (!base_) return;
  const std::string name = GetRegValueName();
  const char* n = name.c_str();
  TraceF("Refresh %s device list:", n);
  const int count = GetNumDevs();
  // Every look checks the open device: a port that went away closes, also
  // when another device took its place and the count stayed the same.
  TraceF("%s%s: checking if device still valid", kTracePrefix, n);
  const bool wasOpen = Device().IsOpen();
  Device().CloseIfDisconnected();
  std::vector<std::unique_ptr<TMidiDeviceBase>> list = FillDeviceList();
  if (!force && count == LastDeviceCount && ListedAsBefore(list)) {
    TraceF("%s%s: no change in the devices.", kTracePrefix, n);
    if (wasOpen && !Device().IsOpen()) UpdateChecks();
    if (startTimer) {
      TraceF("%s%s: starting timer.", kTracePrefix, n);
      if (!newDeviceTimer_) {
        newDeviceTimer_ = new QTimer(this);
        connect(newDeviceTimer_, &QTimer::timeout, this, [this] { NewDeviceTimerFired(); });
      }
      newDeviceTimer_->stop();
      newDeviceTimer_->setInterval(kNewDeviceTimerMs);
      newDeviceTimer_->start();
    }
    return;
  }
  LastDeviceCount = count;
  TraceF("%s%s: now %d devices.", kTracePrefix, n, count);
  const std::string openName = Device().IsOpen() ? Device().DisplayName() : std::string();
  bool identified = false;
  QAction* awaited = nullptr;
  for (QAction* a : Entries()) delete a;
  std::vector<QAction*> added;
  for (const auto& d : list) {
    QAction* entry = AddEntry(QString::fromUtf8(d->DisplayName().c_str()), d->DeviceID());
    entry->setProperty(kNameProperty, QByteArray::fromStdString(d->DisplayName()));
    added.push_back(entry);
    if (!openName.empty() && !identified && SameDeviceName(d->DisplayName(), openName) &&
        Device().Renumber(d->DeviceID())) {
      // Numbers shift when devices come and go: the open device takes its new one.
      TraceF("%s%s: identified open device %s", kTracePrefix, n, d->DisplayName().c_str());
      identified = true;
      entry->setChecked(true);
    } else if (openName.empty() && !LateBindingName.empty() && SameDeviceName(d->DisplayName(), LateBindingName)) {
      TraceF("%s%s: identified late binding device %s", kTracePrefix, n, d->DisplayName().c_str());
      awaited = entry;
    }
  }
  // "none" and the separator go on top.
  QAction* first = added.empty() ? nullptr : added.front();
  auto* none = Marked(new QAction(kNoneCaption, base_));
  none->setData(kNoneTag);
  none->setCheckable(true);
  connect(none, &QAction::triggered, this, [this, none] { EntryClicked(none); });
  base_->insertAction(first ? first : FirstCommand(), none);
  if (first) {
    auto* separator = Marked(new QAction(base_));
    separator->setSeparator(true);
    separator->setData(kSeparatorTag);
    base_->insertAction(first, separator);
  }
  if (awaited) {
    SelectDeviceEntry(awaited);
    if (Device().IsOpen()) identified = true;
  }
  if (!identified) {
    TraceF("%s%s: no open device could be identified. Closing.", kTracePrefix, n);
    CloseDevice();
    TraceF("%s%s: Closed.", kTracePrefix, n);
    UpdateChecks();
  }
  TraceF("%s%s: devs: now %d devices.", kTracePrefix, n, static_cast<int>(list.size()));
}

// True when the menu lists these devices, by the same numbers and names.
bool TMidiMenuBase::ListedAsBefore(const std::vector<std::unique_ptr<TMidiDeviceBase>>& list) const {
  std::vector<QAction*> entries;
  for (QAction* a : Entries())
    if (IsEntry(a) && Tag(a) != kNoneTag) entries.push_back(a);
  if (entries.size() != list.size()) return false;
  for (size_t i = 0; i < list.size(); ++i)
    if (Tag(entries[i]) != list[i]->DeviceID() || EntryName(entries[i]) != list[i]->DisplayName()) return false;
  return true;
}

void TMidiMenuBase::LoadSettings() {
  if (RegPath.empty() || SameText(RegPath, kPlaceholderRegPath)) return;
  try {
    TRegIniFile ini("\\Software\\" + RegPath);
    LoadFromIni(ini);
  } catch (...) {
    // A store that cannot be read leaves the menu as it was.
  }
}

void TMidiMenuBase::LoadFromIni(TRegIniFile& ini) {
  CloseDevice();
  const std::string name = ini.ReadString(RegKey, GetRegValueName(), "");
  if (base_ && !name.empty() && !SameText(name, kNoneValue) && !SameText(name, kMapperValue)) {
    for (QAction* a : Entries())
      if (IsEntry(a) && SameDeviceName(EntryName(a), name)) {
        SelectDeviceEntry(a);
        break;
      }
  } else if ((name.empty() && DefaultMidiMapper) || SameText(name, kMapperValue)) {
    const int i = FindEntryByTag(kMapperTag);
    if (i >= 0) SelectDeviceEntry(Entries()[static_cast<size_t>(i)]);
  }
  if (!Device().IsOpen() && !SameText(name, kNoneValue)) LateBindingName = name;
}

void TMidiMenuBase::SaveToIni(TRegIniFile& ini) {
  std::string name;
  if (!Device().IsOpen())
    name = LateBindingName.empty() ? kNoneValue : LateBindingName;
  else if (Device().DeviceID() == kMapperTag)
    name = kMapperValue;
  else
    name = Device().DisplayName();
  ini.WriteString(RegKey, GetRegValueName(), name);
}

// ---------------------------------------------------------------- MIDI In

TMidiInMenu::TMidiInMenu() : input_(std::make_unique<TMidiInput>()) { CloseDevice(); }

TMidiInMenu::~TMidiInMenu() {
  input_->OnDataAvailable = nullptr;
  input_->Close();
}

void TMidiInMenu::SetActiveSensing(bool on) {
  activeSensing_ = on;
  input_->SetActiveSensing(on);
}
void TMidiInMenu::SetTimingClock(bool on) {
  timingClock_ = on;
  input_->SetTimingClock(on);
}
void TMidiInMenu::SetSysExOnly(bool on) {
  sysExOnly_ = on;
  input_->SetSysExOnly(on);
}

int TMidiInMenu::GetNumDevs() { return MidiService().InGetNumDevs(); }

std::vector<std::unique_ptr<TMidiDeviceBase>> TMidiInMenu::FillDeviceList() {
  std::vector<std::unique_ptr<TMidiInput>> list;
  TMidiInput::EnumerateDevices(list);
  return {std::make_move_iterator(list.begin()), std::make_move_iterator(list.end())};
}

void TMidiInMenu::LoadFromIni(TRegIniFile& ini) {
  TMidiMenuBase::LoadFromIni(ini);
  if (OnTextMessage && !LateBindingName.empty())
    Report("Waiting for MIDI IN " + LateBindingName + " to be plugged in or switched on.");
  SetActiveSensing(ini.ReadBool(RegKey, "ActiveSensing", activeSensing_));
  SetTimingClock(ini.ReadBool(RegKey, "TimingClock", timingClock_));
  SetSysExOnly(ini.ReadBool(RegKey, "SysExOnly", sysExOnly_));
  input_->DetectMidiLoop = ini.ReadBool(RegKey, "DetectMidiLoop", input_->DetectMidiLoop);
}

void TMidiInMenu::SaveToIni(TRegIniFile& ini) {
  TMidiMenuBase::SaveToIni(ini);
  ini.WriteBool(RegKey, "ActiveSensing", activeSensing_);
  ini.WriteBool(RegKey, "TimingClock", timingClock_);
  ini.WriteBool(RegKey, "SysExOnly", sysExOnly_);
  if (!input_->DetectMidiLoop) ini.WriteBool(RegKey, "DetectMidiLoop", false);
}

// ---------------------------------------------------------------- MIDI Out

TMidiOutMenu::TMidiOutMenu() : output_(std::make_unique<TMidiOutput>()) { CloseDevice(); }

TMidiOutMenu::~TMidiOutMenu() { output_->Close(); }

int TMidiOutMenu::GetNumDevs() { return MidiService().OutGetNumDevs(); }

std::vector<std::unique_ptr<TMidiDeviceBase>> TMidiOutMenu::FillDeviceList() {
  std::vector<std::unique_ptr<TMidiOutput>> list;
  TMidiOutput::EnumerateDevices(list, true);
  return {std::make_move_iterator(list.begin()), std::make_move_iterator(list.end())};
}

void TMidiOutMenu::LoadFromIni(TRegIniFile& ini) {
  TMidiMenuBase::LoadFromIni(ini);
  if (OnTextMessage && !LateBindingName.empty())
    Report("Waiting for MIDI OUT " + LateBindingName + " to be plugged in or switched on.");
  output_->DetectMidiLoop = ini.ReadBool(RegKey, "DetectMidiLoop", output_->DetectMidiLoop);
}

void TMidiOutMenu::SaveToIni(TRegIniFile& ini) {
  TMidiMenuBase::SaveToIni(ini);
  if (!output_->DetectMidiLoop) ini.WriteBool(RegKey, "DetectMidiLoop", false);
}

}  // namespace kalvex
