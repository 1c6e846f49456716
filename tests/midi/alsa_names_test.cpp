// Names of ALSA sequencer ports.
#include "midi/alsa/alsa_names.h"

#include <gtest/gtest.h>

namespace kalvex {
namespace {

TEST(AlsaNames, GenericPortNamesRecognised) {
  EXPECT_TRUE(IsGenericAlsaPortName("MIDI 1", "UM-ONE"));
  EXPECT_TRUE(IsGenericAlsaPortName("UM-ONE MIDI 1", "UM-ONE"));
  EXPECT_TRUE(IsGenericAlsaPortName("CH345 Port 2", "CH345"));
  EXPECT_TRUE(IsGenericAlsaPortName("", "CH345"));
  EXPECT_TRUE(IsGenericAlsaPortName("Midi Through Port-0", "Midi Through"));  // kept: no card
  EXPECT_FALSE(IsGenericAlsaPortName("Digital Piano MIDI 1", "UM-ONE"));
  EXPECT_FALSE(IsGenericAlsaPortName("MIDI Out", "Synth"));
}

TEST(AlsaNames, CardLocationIsDropped) {
  EXPECT_EQ(AlsaCardNameWithoutLocation("QinHeng Electronics CH345 at usb-0000:00:14.0-2, full speed"),
            "QinHeng Electronics CH345");
  EXPECT_EQ(AlsaCardNameWithoutLocation("Roland UM-ONE"), "Roland UM-ONE");
}

TEST(AlsaNames, BestNameThenClientThenAddressToTellApart) {
  const std::vector<TAlsaPortInfo> ports = {
      {14, 0, "Midi Through", "Midi Through Port-0", ""},
      {20, 0, "CH345", "CH345 MIDI 1", "QinHeng Electronics CH345 at usb-0000:00:14.0-2, full speed"},
      {24, 0, "UM-ONE", "UM-ONE MIDI 1", ""},
      {28, 0, "Synth A", "Synth Out", ""},
      {32, 0, "Synth B", "Synth Out", ""},
      {36, 0, "Twin", "Out", ""},
      {36, 1, "Twin", "Out", ""},
  };
  EXPECT_EQ(AlsaDeviceNames(ports),
            (std::vector<std::string>{"Midi Through Port-0", "QinHeng Electronics CH345 MIDI 1",
                                      "UM-ONE MIDI 1", "Synth A: Synth Out", "Synth B: Synth Out",
                                      "Twin: Out [36:0]", "Twin: Out [36:1]"}));
}

// Only a kernel client's hardware ports sit in front of a device's buffer.
TEST(AlsaNames, HardwarePortsArePacedOthersAreNot) {
  constexpr unsigned kMidiGeneric = 1u << 1, kSoftware = 1u << 17, kApplication = 1u << 20;
  EXPECT_TRUE(AlsaPortIsHardware(true, kMidiGeneric | kAlsaPortTypeHardware));  // a USB or DIN interface
  EXPECT_FALSE(AlsaPortIsHardware(true, kMidiGeneric | kSoftware));             // Midi Through
  EXPECT_FALSE(AlsaPortIsHardware(false, kMidiGeneric | kAlsaPortTypeHardware | kApplication));  // a program
}

}  // namespace
}  // namespace kalvex
