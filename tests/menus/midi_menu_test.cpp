// The device menus over real QMenus and the built-in loopback cables: entry
// layout and check marks, open and close texts, settings, late binding and
// devices that come and go.
#include "menus/midi_menu.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include "midi/loopback/loopback_service.h"
#include "midi/midi_system.h"
#include "tests/util/temp_dir.h"
#include "tests/util/wait_until.h"

namespace kalvex {
namespace {

const std::string kKey = "\\Software\\Zelk Software\\kalvex\\kalvex";

struct DeviceMenus : testing::Test {
  QMenu outMenu, inMenu;
  TMidiOutMenu out;
  TMidiInMenu in;
  std::vector<std::string> texts, errors;
  test::TTempDir dir;

  void SetUp() override {
    for (TMidiMenuBase* m : {static_cast<TMidiMenuBase*>(&out), static_cast<TMidiMenuBase*>(&in)}) {
      m->OnTextMessage = [this](TMidiMenuBase&, const std::string& t) { texts.push_back(t); };
      m->OnError = [this](TMidiMenuBase&, const std::string& t) { errors.push_back(t); };
      m->Device().DetectMidiLoop = false;
    }
    out.SetBaseMenu(&outMenu);
    in.SetBaseMenu(&inMenu);
  }
  std::string File() const { return dir.File("registry.conf"); }
  static std::vector<std::string> Captions(const TMidiMenuBase& m) {
    std::vector<std::string> c;
    for (QAction* a : m.Entries()) c.push_back(a->isSeparator() ? "-" : a->text().toStdString());
    return c;
  }
  static std::string Checked(const TMidiMenuBase& m) {
    for (QAction* a : m.Entries())
      if (a->isChecked()) return a->text().toStdString();
    return "";
  }
  static QAction* Entry(const TMidiMenuBase& m, const std::string& caption) {
    for (QAction* a : m.Entries())
      if (a->text().toStdString() == caption) return a;
    return nullptr;
  }
};

TEST_F(DeviceMenus, EntriesChecksAndOpenCloseTexts) {
  const auto outs = Captions(out);
  ASSERT_GE(outs.size(), 5u);
  EXPECT_EQ(outs[0], "none");
  EXPECT_EQ(outs[1], "-");
  EXPECT_EQ(outs[2], kMidiMapperName);
  EXPECT_EQ(outs.back(), "Kalvex Loopback 2");
  EXPECT_EQ(Captions(in)[0], "none");
  EXPECT_EQ(Checked(out), "none");

  Entry(out, "Kalvex Loopback 1")->trigger();
  EXPECT_TRUE(out.Output().IsOpen());
  EXPECT_EQ(Checked(out), "Kalvex Loopback 1");
  EXPECT_EQ(texts, std::vector<std::string>{"Opened MIDI OUT: Kalvex Loopback 1"});
  Entry(out, "Kalvex Loopback 1")->trigger();  // already open: nothing happens
  EXPECT_EQ(texts.size(), 1u);
  EXPECT_EQ(Checked(out), "Kalvex Loopback 1");
  out.SelectNoneEntry();
  EXPECT_EQ(texts.back(), "Closed MIDI OUT: Kalvex Loopback 1");
  EXPECT_EQ(texts[texts.size() - 2], "Closing MIDI OUT: Kalvex Loopback 1 ...");
  EXPECT_EQ(Checked(out), "none");
}

TEST_F(DeviceMenus, SettingsRoundTripMatchLooselyAndKeepTheLoopCheckOff) {
  Entry(in, "Kalvex Loopback 2")->trigger();
  in.SetActiveSensing(true);
  Entry(out, kMidiMapperName)->trigger();
  {
    TRegIniFile ini(kKey, File());
    in.SaveToIni(ini);
    out.SaveToIni(ini);
    ini.UpdateFile();
    EXPECT_EQ(ini.ReadString("MidiDevices", "MidiIn", ""), "Kalvex Loopback 2");
    EXPECT_EQ(ini.ReadString("MidiDevices", "MidiOut", ""), "MIDI Mapper");
    EXPECT_EQ(ini.ReadString("MidiDevices", "ActiveSensing", ""), "1");
    EXPECT_EQ(ini.ReadString("MidiDevices", "DetectMidiLoop", ""), "0");
  }
  in.SelectNoneEntry();
  out.SelectNoneEntry();
  {
    TRegIniFile ini(kKey, File());
    ini.WriteString("MidiDevices", "MidiIn", "kalvexloopback2");  // blanks and case do not matter
    ini.WriteString("MidiDevices", "DetectMidiLoop", "1");        // set by hand
    ini.UpdateFile();
  }
  TRegIniFile ini(kKey, File());
  in.LoadFromIni(ini);
  out.LoadFromIni(ini);
  EXPECT_EQ(Checked(in), "Kalvex Loopback 2");
  EXPECT_TRUE(in.ActiveSensing());
  EXPECT_TRUE(in.Input().DetectMidiLoop);
  EXPECT_EQ(Checked(out), kMidiMapperName);
  EXPECT_EQ(out.Output().DeviceID(), -1);
}

TEST_F(DeviceMenus, AStoredDeviceThatIsMissingOpensWhenItIsPluggedIn) {
  {
    TRegIniFile ini(kKey, File());
    ini.WriteString("MidiDevices", "MidiIn", "Kalvex Test Synth");
    ini.WriteString("MidiDevices", "MidiOut", "(none)");
    ini.UpdateFile();
  }
  TRegIniFile ini(kKey, File());
  in.LoadFromIni(ini);
  out.LoadFromIni(ini);
  EXPECT_EQ(texts, std::vector<std::string>{"Waiting for MIDI IN Kalvex Test Synth to be plugged in or switched on."});
  EXPECT_EQ(in.LateBindingName, "Kalvex Test Synth");
  EXPECT_TRUE(out.LateBindingName.empty());
  QObject::connect(&MidiDeviceNotifier(), &TMidiDeviceNotifier::DevicesChanged, &in,
                   [this] { in.RefreshDeviceList(false, true); });
  ASSERT_TRUE(LoopbackService().AddCable("Kalvex Test Synth"));
  ASSERT_TRUE(test::WaitUntil([&] { return in.Input().IsOpen(); })) << "the input did not open";
  EXPECT_EQ(texts.back(), "Opened MIDI IN: Kalvex Test Synth");
  EXPECT_TRUE(in.LateBindingName.empty());
  // It goes away again: closed, the check back on "none", and not awaited.
  ASSERT_TRUE(LoopbackService().RemoveCable("Kalvex Test Synth"));
  ASSERT_TRUE(test::WaitUntil([&] { return !in.Input().IsOpen(); })) << "the input stayed open";
  EXPECT_EQ(Checked(in), "none");
  TRegIniFile after(kKey, File());
  in.SaveToIni(after);
  EXPECT_EQ(after.ReadString("MidiDevices", "MidiIn", ""), "(none)");
}

TEST_F(DeviceMenus, AnUnchangedCountRebuildsNothingAndLooksAgainTenSecondsLater) {
  Entry(out, "Kalvex Loopback 1")->trigger();
  QAction* before = Entry(out, "Kalvex Loopback 1");
  out.RefreshDeviceList(false, true);
  EXPECT_EQ(Entry(out, "Kalvex Loopback 1"), before);  // the same entries
  EXPECT_TRUE(out.NewDeviceTimerActive());
  out.RefreshDeviceList(true, false);  // a forced rebuild keeps the open device open
  EXPECT_TRUE(out.Output().IsOpen());
  EXPECT_EQ(Checked(out), "Kalvex Loopback 1");
  EXPECT_EQ(texts.size(), 1u);  // no close or open texts
}

// Devices that come and go renumber the others: the open device follows its
// number, so a click on the device that took its old number opens that one.
TEST_F(DeviceMenus, TheOpenDeviceFollowsItsNumberWhenDevicesComeAndGo) {
  for (TMidiMenuBase* menu : {static_cast<TMidiMenuBase*>(&out), static_cast<TMidiMenuBase*>(&in)}) {
    SCOPED_TRACE(menu == &out ? "MIDI Out" : "MIDI In");
    QObject::connect(&MidiDeviceNotifier(), &TMidiDeviceNotifier::DevicesChanged, menu,
                     [menu] { menu->RefreshDeviceList(false, true); });
    ASSERT_TRUE(LoopbackService().AddCable("Kalvex Cable A"));
    ASSERT_TRUE(LoopbackService().AddCable("Kalvex Cable B"));
    menu->RefreshDeviceList(true, false);
    Entry(*menu, "Kalvex Cable B")->trigger();
    ASSERT_TRUE(menu->Device().IsOpen());
    const int oldNumber = menu->Device().DeviceID();
    ASSERT_TRUE(LoopbackService().AddCable("Kalvex Cable C"));
    ASSERT_TRUE(LoopbackService().RemoveCable("Kalvex Cable A"));
    ASSERT_TRUE(test::WaitUntil([&] { return Entry(*menu, "Kalvex Cable A") == nullptr; })) << "A is still listed";
    EXPECT_TRUE(menu->Device().IsOpen());
    EXPECT_EQ(Checked(*menu), "Kalvex Cable B");
    EXPECT_EQ(menu->Device().DeviceID(), FindDeviceIdByName(menu == &out, "Kalvex Cable B"));
    ASSERT_EQ(FindDeviceIdByName(menu == &out, "Kalvex Cable C"), oldNumber);
    Entry(*menu, "Kalvex Cable C")->trigger();
    EXPECT_EQ(menu->Device().Name(), "Kalvex Cable C");
    EXPECT_EQ(Checked(*menu), "Kalvex Cable C");
    menu->SelectNoneEntry();
    ASSERT_TRUE(LoopbackService().RemoveCable("Kalvex Cable B"));
    ASSERT_TRUE(LoopbackService().RemoveCable("Kalvex Cable C"));
    menu->RefreshDeviceList(true, false);
  }
}

// A device replaced by another before the menu looks: the count is the same,
// but the open port is dead and the new device is listed.
TEST_F(DeviceMenus, ADeviceReplacedUnderTheSameCountClosesAndTheNewOneIsListed) {
  ASSERT_TRUE(LoopbackService().AddCable("Kalvex Cable A"));
  out.RefreshDeviceList(true, false);
  in.RefreshDeviceList(true, false);
  Entry(out, "Kalvex Cable A")->trigger();
  Entry(in, "Kalvex Cable A")->trigger();
  ASSERT_TRUE(out.Output().IsOpen() && in.Input().IsOpen());
  ASSERT_TRUE(LoopbackService().RemoveCable("Kalvex Cable A"));
  ASSERT_TRUE(LoopbackService().AddCable("Kalvex Cable B"));
  // The closes reach the ports on the service's own thread: the menus look
  // until they see them.
  ASSERT_TRUE(test::WaitUntil([&] {
    out.RefreshDeviceList(false, false);
    in.RefreshDeviceList(false, false);
    return !out.Output().IsOpen() && !in.Input().IsOpen();
  })) << "a dead port stayed open";
  for (TMidiMenuBase* menu : {static_cast<TMidiMenuBase*>(&out), static_cast<TMidiMenuBase*>(&in)}) {
    SCOPED_TRACE(menu == &out ? "MIDI Out" : "MIDI In");
    EXPECT_EQ(Checked(*menu), "none");
    EXPECT_NE(Entry(*menu, "Kalvex Cable B"), nullptr);
    EXPECT_EQ(Entry(*menu, "Kalvex Cable A"), nullptr);
  }
  ASSERT_TRUE(LoopbackService().RemoveCable("Kalvex Cable B"));
}

TEST_F(DeviceMenus, AnInputWaitsForAStoredMapperAndAFailedOpenChecksNone) {
  {
    TRegIniFile ini(kKey, File());
    ini.WriteString("MidiDevices", "MidiIn", "MIDI Mapper");
    ini.UpdateFile();
  }
  TRegIniFile ini(kKey, File());
  in.LoadFromIni(ini);
  EXPECT_FALSE(in.Input().IsOpen());
  EXPECT_EQ(in.LateBindingName, "MIDI Mapper");
  // The cable's input is taken by somebody else: the open fails with the layer's text.
  TMidiInput other;
  other.DetectMidiLoop = false;
  other.SetDeviceID(FindDeviceIdByName(false, "Kalvex Loopback 1"));
  other.Open();
  Entry(in, "Kalvex Loopback 1")->trigger();
  EXPECT_FALSE(in.Input().IsOpen());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(Checked(in), "none");
}

}  // namespace
}  // namespace kalvex

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("JACK_DEFAULT_SERVER", "kalvex_no_server");
  qputenv("JACK_NO_START_SERVER", "1");
  QApplication app(argc, argv);
  kalvex::MidiDeviceNotifier();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
