// The output queue shared by the ALSA and JACK backends: events as the
// service gets them (running status expanded) and pacing to the MIDI wire.
#include "midi/midi_out_port_base.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/midi/midi_test_util.h"
#include "util/clock.h"
#include "workbench/hex_text.h"

namespace kalvex {
namespace {

struct TDoneLog {
  std::vector<TMidiHdr*> done;
  static void Callback(TMidiPort*, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t) {
    if (msg == MOM_DONE) reinterpret_cast<TDoneLog*>(instance)->done.push_back(reinterpret_cast<TMidiHdr*>(p1));
  }
};

std::string Hex(const uint8_t* data, size_t size) {
  size_t remaining = size;
  return FormatHexLine(data, remaining, static_cast<int>(size));
}

std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> b;
  for (size_t i = 0; i + 1 < hex.size(); i += 3) b.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return b;
}

// A long message becomes well-formed events: the bytes a user typed reach
// the synth as the wire would carry them.
TEST(OutPortBase, LongMessagesBecomeWellFormedEvents) {
  struct TCase {
    const char* name;
    std::string line;
    std::vector<std::string> events;
  };
  const TCase cases[] = {
      {"RunningStatusNoteOn", "90 3C 7F 3E 7F", {"90 3C 7F", "90 3E 7F"}},
      {"RunningStatusTwoByte", "C0 05 06 07", {"C0 05", "C0 06", "C0 07"}},
      {"RealTimeKeepsRunningStatus", "90 3C 7F F8 3E 7F", {"90 3C 7F", "F8", "90 3E 7F"}},
      {"SystemCommonEndsIt", "90 3C 7F F0 01 F7 3E 7F", {"90 3C 7F", "F0 01 F7", "3E 7F"}},
      {"NoStatusYet", "3C 7F", {"3C 7F"}},
      {"CutShortAtTheEnd", "B0 07 64 08", {"B0 07 64", "B0 08"}},
  };
  for (const auto& c : cases) {
    TDoneLog log;
    TMidiOutPortBase port(&TDoneLog::Callback, reinterpret_cast<uintptr_t>(&log));
    std::vector<uint8_t> data = Bytes(c.line + " ");
    TMidiHdr hdr;
    hdr.Data = data.data();
    hdr.BufferLength = static_cast<uint32_t>(data.size());
    ASSERT_EQ(port.PrepareHeader(&hdr), kMidiNoError);
    ASSERT_EQ(port.LongMsg(&hdr), kMidiNoError);
    std::vector<std::string> events;
    port.Pump(1024, [&](const uint8_t* d, size_t n, bool) {
      events.push_back(Hex(d, n));
      return true;
    });
    EXPECT_EQ(events, c.events) << c.name;
    EXPECT_EQ(log.done.size(), 1u) << c.name;
    port.Close();
  }
}

TEST(WirePacer, BurstThenWireRate) {
  TManualClock clock(1000);
  TScopedClock scoped(clock);
  TWirePacer pacer;
  EXPECT_TRUE(pacer.Fits(TWirePacer::kBurstBytes));
  pacer.Wrote(TWirePacer::kBurstBytes);
  EXPECT_FALSE(pacer.Fits(1));
  EXPECT_EQ(pacer.MsUntilFits(256), 82u);  // 256 bytes at 3125 bytes/s
  clock.Advance(81);
  EXPECT_FALSE(pacer.Fits(256));
  clock.Advance(1);
  EXPECT_TRUE(pacer.Fits(256));
  EXPECT_EQ(pacer.Drained(), 256u);
  EXPECT_EQ(pacer.MsUntilDrained(TWirePacer::kBurstBytes), 1229u);  // the rest of the burst
  clock.Advance(10000);
  EXPECT_EQ(pacer.Drained(), pacer.Written());
  EXPECT_TRUE(pacer.Fits(TWirePacer::kBurstBytes));
}

// A 64 KB dump to a hardware port: never more in the device's buffer than it
// holds, and done only when its last byte left; no faster than the wire.
TEST(OutPortBase, PacedPortNeverOverrunsTheDeviceBufferAndReportsDoneWhenDrained) {
  TManualClock clock(5);
  TScopedClock scoped(clock);
  TDoneLog log;
  TMidiOutPortBase port(&TDoneLog::Callback, reinterpret_cast<uintptr_t>(&log));
  port.PaceToWire();
  auto dump = test::PatternSysEx(65536);
  TMidiHdr hdr;
  hdr.Data = dump.data();
  hdr.BufferLength = static_cast<uint32_t>(dump.size());
  port.PrepareHeader(&hdr);
  ASSERT_EQ(port.LongMsg(&hdr), kMidiNoError);
  // The device: a 4096-byte buffer that sends 3125 bytes a second.
  double deviceBytes = 0;
  size_t dropped = 0, sent = 0;
  uint32_t doneAt = 0;
  for (uint32_t ms = 0; ms < 40000 && log.done.empty(); ++ms) {
    port.Pump(256, [&](const uint8_t*, size_t n, bool) {
      if (deviceBytes + double(n) > 4096.0 + 1e-9) dropped += n;
      else deviceBytes += double(n);
      sent += n;
      return true;
    });
    if (!log.done.empty()) doneAt = ms;
    // Sleep as the driver thread would, then let the device drain.
    const uint32_t nap = std::min<uint32_t>(port.MsUntilPacerReady(), 50);
    const uint32_t step = std::max<uint32_t>(nap, 1);
    clock.Advance(step);
    deviceBytes = std::max(0.0, deviceBytes - 3.125 * step);
    ms += step - 1;
  }
  EXPECT_EQ(dropped, 0u);
  EXPECT_EQ(sent, dump.size());
  ASSERT_EQ(log.done.size(), 1u);
  const double wireMs = 65536 / 3.125;  // 20972 ms on the wire
  EXPECT_GE(doneAt, wireMs - 5);
  EXPECT_LE(doneAt, wireMs + 60);
  EXPECT_FALSE(port.HasPending());
  port.Close();
}

TEST(OutPortBase, ResetReportsMessagesStillOnTheWireDone) {
  TManualClock clock(5);
  TScopedClock scoped(clock);
  TDoneLog log;
  TMidiOutPortBase port(&TDoneLog::Callback, reinterpret_cast<uintptr_t>(&log));
  port.PaceToWire();
  auto msg = test::PatternSysEx(1000);
  TMidiHdr hdr;
  hdr.Data = msg.data();
  hdr.BufferLength = static_cast<uint32_t>(msg.size());
  port.PrepareHeader(&hdr);
  port.LongMsg(&hdr);
  port.Pump(256, [](const uint8_t*, size_t, bool) { return true; });
  EXPECT_TRUE(log.done.empty());  // all written, not yet on the wire
  EXPECT_TRUE(port.HasPending());
  port.Reset();
  EXPECT_EQ(log.done.size(), 1u);
  EXPECT_FALSE(hdr.Flags & kMhdrInQueue);
  port.Close();
}

}  // namespace
}  // namespace kalvex
