// Device objects without traffic: names, numbers, errors, the loop check.
#include <gtest/gtest.h>

#include <sstream>

#include "midi/list_devices.h"
#include "midi/loopback/loopback_service.h"
#include "midi/midi_device_base.h"
#include "midi/midi_input.h"
#include "midi/midi_loop_check.h"
#include "midi/midi_output.h"
#include "midi/midi_system.h"

namespace kalvex {
namespace {

TEST(SameDeviceName, IgnoresBlanksAndAsciiCaseOnly) {
  EXPECT_TRUE(SameDeviceName("UM-ONE MIDI 1", "um-one midi1"));
  EXPECT_TRUE(SameDeviceName(" Kalvex Loopback 1 ", "KALVEXLOOPBACK1"));
  EXPECT_FALSE(SameDeviceName("UM-ONE MIDI 1", "UM-ONE MIDI 2"));
  EXPECT_FALSE(SameDeviceName("UM_ONE", "UM-ONE"));
  EXPECT_FALSE(SameDeviceName("Ä", "ä"));  // only ASCII letters fold
}

TEST(MidiErrors, TextsFollowCodeAndPrefix) {
  EXPECT_STREQ(EMidiInputError(kMidiErrAllocated).what(),
               "It seems that the MIDI port is already open in another application.");
  const EMidiOutputError withPrefix(kMidiErrAllocated, "Cannot open MIDI output device \"X\":");
  EXPECT_STREQ(withPrefix.what(),
               "Cannot open MIDI output device \"X\":\r\n"
               "It seems that the MIDI port is already open in another application.");
  EXPECT_EQ(withPrefix.ErrorCode, kMidiErrAllocated);
  EXPECT_STREQ(EMidiInputError(12345).what(), "Unspecified error");
  std::string text;
  EXPECT_TRUE(MidiGetErrorText(kMidiErrBadDeviceId, text));
  EXPECT_STREQ(EMidiOutputError(kMidiErrBadDeviceId).what(), text.c_str());
  // EMidiInputError is no EMidiError, EMidiOutputError is.
  EXPECT_EQ(dynamic_cast<const EMidiError*>(static_cast<const std::exception*>(&withPrefix)),
            static_cast<const EMidiError*>(&withPrefix));
}

TEST(MyMidiEvent, EventLengthFromSysExOrStatus) {
  TMyMidiEvent e;
  e.Status = 0xC5;
  EXPECT_EQ(e.EventLength(), 2);
  e.Status = 0x7F;
  EXPECT_EQ(e.EventLength(), 0);
  e.Status = 0xF0;
  e.SysExLength = 452;
  EXPECT_EQ(e.EventLength(), 452);
}

TEST(VirtualPortName, PrefixesInAnyAsciiCase) {
  EXPECT_TRUE(IsVirtualPortName("LoopBE Internal MIDI"));
  EXPECT_TRUE(IsVirtualPortName("loopbe internal midi"));
  EXPECT_TRUE(IsVirtualPortName("MIDI Yoke NT:  1"));
  EXPECT_TRUE(IsVirtualPortName("LB3"));
  EXPECT_FALSE(IsVirtualPortName("LB"));  // shorter than every prefix
  EXPECT_FALSE(IsVirtualPortName("UM-ONE MIDI 1"));
  EXPECT_FALSE(IsVirtualPortName("MIDI Yoke 1"));
  EXPECT_TRUE(IsVirtualPortName("Kalvex Loopback 2"));
  EXPECT_TRUE(IsVirtualPortName("Midi Through Port-0"));
}

// The loop check forgets the port that was opened, also when the device
// number changed while it was open.
TEST(VirtualPortName, CloseForgetsTheNameOpenedEvenAfterANewNumber) {
  TMidiOutput out;
  out.DetectMidiLoop = false;
  out.SetDeviceID(FindDeviceIdByName(true, "Kalvex Loopback 1"));
  out.Open();
  ASSERT_TRUE(WouldCreateFeedbackLoop(false, "Kalvex Loopback 1"));
  out.SetDeviceID(FindDeviceIdByName(true, "Kalvex Loopback 2"));  // takes effect at the next open
  out.Close();
  EXPECT_FALSE(WouldCreateFeedbackLoop(false, "Kalvex Loopback 1"));
}

TEST(VirtualPortName, FeedbackLoopOnlyAgainstTheOtherDirection) {
  RegisterOpenDevice(true, "LoopBE Internal MIDI");
  EXPECT_TRUE(WouldCreateFeedbackLoop(false, "LOOPBE internal midi"));
  EXPECT_FALSE(WouldCreateFeedbackLoop(true, "LoopBE Internal MIDI"));
  RegisterOpenDevice(true, "UM-ONE");
  EXPECT_FALSE(WouldCreateFeedbackLoop(false, "UM-ONE"));
  UnregisterOpenDevice(true, "loopbe internal MIDI");
  UnregisterOpenDevice(true, "UM-ONE");
  EXPECT_FALSE(WouldCreateFeedbackLoop(false, "LoopBE Internal MIDI"));
}

// A backend that counts how often it is scanned.
class TCountingService final : public TMidiService {
public:
  int scans = 0;
  int InGetNumDevs() override { return ++scans, 5; }
  int OutGetNumDevs() override { return ++scans, 5; }
  uint32_t InGetDevCaps(int id, TMidiDeviceCaps& caps) override {
    caps.Name = "Counted In " + std::to_string(id);
    return kMidiNoError;
  }
  uint32_t OutGetDevCaps(int id, TMidiDeviceCaps& caps) override {
    caps.Name = "Counted Out " + std::to_string(id);
    return kMidiNoError;
  }
  uint32_t InOpen(std::unique_ptr<TMidiInPort>&, int, TMidiCallback, uintptr_t) override { return kMidiErrNoDevice; }
  uint32_t OutOpen(std::unique_ptr<TMidiOutPort>&, int, TMidiCallback, uintptr_t) override { return kMidiErrNoDevice; }
};

// A menu refresh lists both directions: one count each, and every name and
// number of the list comes from that count, not from a scan of its own.
TEST(DeviceSelection, AnEnumerationScansEachBackendOncePerDirection) {
  TMidiSystem system;
  auto counting = std::make_unique<TCountingService>();
  TCountingService* backend = counting.get();
  system.AddBackend("Counting", std::move(counting));
  SetMidiService(&system);
  std::vector<std::unique_ptr<TMidiInput>> ins;
  TMidiInput::EnumerateDevices(ins);
  std::vector<std::unique_ptr<TMidiOutput>> outs;
  TMidiOutput::EnumerateDevices(outs, true);
  SetMidiService(nullptr);
  EXPECT_EQ(backend->scans, 2);
  ASSERT_GE(ins.size(), 5u);
  EXPECT_EQ(ins.back()->DisplayName(), "Counted In 4");
  EXPECT_EQ(outs.front()->DisplayName(), kMidiMapperName);
  EXPECT_EQ(outs.back()->DisplayName(), "Counted Out 4");
}

TEST(DeviceSelection, NumbersOutOfRangeSelectNoDevice) {
  TMidiInput in;
  EXPECT_EQ(in.DeviceID(), kNoDevice);
  in.Open();  // no device: nothing happens
  EXPECT_FALSE(in.IsOpen());
  in.SetDeviceID(in.GetNumDevs());
  EXPECT_EQ(in.DeviceID(), kNoDevice);
  EXPECT_TRUE(in.Name().empty());
  in.SetDeviceID(-1);  // inputs have no mapper: the number stays, the name is empty
  EXPECT_EQ(in.DeviceID(), -1);
  EXPECT_TRUE(in.Name().empty());

  TMidiOutput out;
  out.SetDeviceID(-1);
  EXPECT_EQ(out.Name(), kMidiMapperName);
  std::vector<std::unique_ptr<TMidiOutput>> list;
  TMidiOutput::EnumerateDevices(list, true);
  ASSERT_GE(list.size(), 3u);
  EXPECT_EQ(list[0]->DeviceID(), -1);
}

TEST(DeviceSelection, LoopbackCablesListedInBothDirections) {
  for (const char* name : TLoopbackService::kDefaultCables) {
    EXPECT_GE(FindDeviceIdByName(false, name), 0) << name;
    EXPECT_GE(FindDeviceIdByName(true, name), 0) << name;
  }
}

TEST(DeviceSelection, CloneCopiesConfigurationNotThePort) {
  TMidiInput in;
  in.SetDeviceID(FindDeviceIdByName(false, "Kalvex Loopback 1"));
  in.SetSysExOnly(true);
  in.SetActiveSensing(true);
  in.SysExBufferCount = 3;
  in.DetectMidiLoop = false;
  in.OnDataAvailable = [](TMidiInput&) {};
  in.Open();
  auto copy = in.Clone();
  auto* c = dynamic_cast<TMidiInput*>(copy.get());
  ASSERT_NE(c, nullptr);
  EXPECT_FALSE(c->IsOpen());
  EXPECT_EQ(c->DisplayName(), "Kalvex Loopback 1");
  EXPECT_TRUE(c->SysExOnly());
  EXPECT_TRUE(c->GetActiveSensing());
  EXPECT_EQ(c->SysExBufferCount, 3);
  EXPECT_FALSE(c->DetectMidiLoop);
  EXPECT_TRUE(static_cast<bool>(c->OnDataAvailable));
}

TEST(OpenClose, FeedbackLoopRefusedUnlessDetectionIsOff) {
  auto& loopback = LoopbackService();
  ASSERT_TRUE(loopback.AddCable("LoopBE Test Cable"));
  TMidiOutput out;
  TMidiInput in;
  out.SetDeviceID(FindDeviceIdByName(true, "LoopBE Test Cable"));
  in.SetDeviceID(FindDeviceIdByName(false, "LoopBE Test Cable"));
  in.OnDataAvailable = [](TMidiInput&) {};
  out.Open();
  try {
    in.Open();
    FAIL() << "opened a virtual port whose other end is open";
  } catch (const EVirtualMIDIFeedback& e) {
    EXPECT_STREQ(e.what(), "Opening \"LoopBE Test Cable\" would create a virtual feedback loop !");
  }
  EXPECT_FALSE(in.IsOpen());
  EXPECT_FALSE(IsOpenDeviceRegistered(false, "LoopBE Test Cable"));
  out.Close();
  EXPECT_NO_THROW(in.Open());  // the output is closed again
  in.Close();
  out.Open();
  in.DetectMidiLoop = false;
  EXPECT_NO_THROW(in.Open());
  in.Close();
  out.Close();
  EXPECT_TRUE(loopback.RemoveCable("LoopBE Test Cable"));
}

TEST(OpenClose, SecondOpenOfAnInputReportsThePortBusy) {
  TMidiInput first;
  TMidiInput second;
  first.SetDeviceID(FindDeviceIdByName(false, "Kalvex Loopback 2"));
  second.SetDeviceID(first.DeviceID());
  first.Open();
  try {
    second.Open();
    FAIL() << "second open succeeded";
  } catch (const EMidiInputError& e) {
    EXPECT_EQ(e.ErrorCode, kMidiErrAllocated);
    EXPECT_STREQ(e.what(),
                 "Cannot open MIDI input device \"Kalvex Loopback 2\":\r\n"
                 "It seems that the MIDI port is already open in another application.");
  }
  EXPECT_FALSE(second.IsOpen());
  first.Close();
  EXPECT_FALSE(IsOpenDeviceRegistered(false, "Kalvex Loopback 2"));
  first.Close();  // closing twice is harmless
  second.Open();
  EXPECT_TRUE(second.IsOpen());
}

}  // namespace
}  // namespace kalvex

namespace kalvex {
namespace {

TEST(ListDevices, PrintsBothDirectionsWithIdsAndNames) {
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(RunListDevices(out, err), 0);
  const std::string text = out.str();
  const int in = FindDeviceIdByName(false, "Kalvex Loopback 1");
  const int outId = FindDeviceIdByName(true, "Kalvex Loopback 1");
  const size_t inHeader = text.find("MIDI In devices:\n");
  const size_t outHeader = text.find("MIDI Out devices:\n");
  ASSERT_NE(inHeader, std::string::npos);
  ASSERT_NE(outHeader, std::string::npos);
  EXPECT_NE(text.find("  " + std::to_string(in) + ": Kalvex Loopback 1\n", inHeader), std::string::npos);
  EXPECT_NE(text.find("  " + std::to_string(outId) + ": Kalvex Loopback 1\n", outHeader), std::string::npos);
  EXPECT_TRUE(err.str().empty());
}

}  // namespace
}  // namespace kalvex
