// The input state machine, driven with byte sequences: what the driver
// callback receives, in order.
#include "midi/midi_in_port_base.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "util/clock.h"
#include "workbench/hex_text.h"

namespace kalvex {
namespace {

std::string Hex(const uint8_t* p, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", p[i]);
    s += buf;
  }
  return s;
}

std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size();) {
    if (hex[i] == ' ') { ++i; continue; }
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

// Records every callback as text: "S:903C7F", "L:F001F7", "E:F001" (cut
// short), "X:3" (bytes lost), "C" (device gone).
struct TRecorder {
  std::vector<std::string> seen;
  std::vector<uint32_t> stamps;

  static void Callback(TMidiPort*, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t p2) {
    auto* self = reinterpret_cast<TRecorder*>(instance);
    self->stamps.push_back(static_cast<uint32_t>(p2));
    switch (msg) {
      case MIM_DATA: {
        const uint8_t b[3] = {uint8_t(p1), uint8_t(p1 >> 8), uint8_t(p1 >> 16)};
        const int n = MessageLength(b[0]);
        self->seen.push_back("S:" + Hex(b, static_cast<size_t>(n)));
        break;
      }
      case MIM_LONGDATA:
      case MIM_LONGERROR: {
        auto* h = reinterpret_cast<TMidiHdr*>(p1);
        self->seen.push_back((msg == MIM_LONGDATA ? "L:" : "E:") + Hex(h->Data, h->BytesRecorded));
        break;
      }
      case MIM_LOSTDATA: self->seen.push_back("X:" + std::to_string(p1)); break;
      case MIM_ERROR: self->seen.push_back("M:" + std::to_string(p1)); break;
      case MIM_CLOSE: self->seen.push_back("C"); break;
      default: self->seen.push_back("?"); break;
    }
  }
};

struct TPortFixture {
  TRecorder recorder;
  TMidiInPortBase port{&TRecorder::Callback, reinterpret_cast<uintptr_t>(&recorder)};
  std::vector<std::unique_ptr<uint8_t[]>> blocks;
  std::vector<std::unique_ptr<TMidiHdr>> headers;

  TPortFixture(int bufferCount, uint32_t bufferSize) {
    for (int i = 0; i < bufferCount; ++i) {
      blocks.push_back(std::make_unique<uint8_t[]>(bufferSize));
      auto h = std::make_unique<TMidiHdr>();
      h->Data = blocks.back().get();
      h->BufferLength = bufferSize;
      EXPECT_EQ(port.PrepareHeader(h.get()), kMidiNoError);
      EXPECT_EQ(port.AddBuffer(h.get()), kMidiNoError);
      headers.push_back(std::move(h));
    }
    EXPECT_EQ(port.Start(), kMidiNoError);
  }
  ~TPortFixture() { port.Close(); }
};

struct TCase {
  const char* name;
  int bufferCount;
  uint32_t bufferSize;
  std::vector<std::string> chunks;  // each handed over in one Deliver
  std::vector<std::string> expected;
};

void PrintTo(const TCase& c, std::ostream* os) { *os << c.name; }

class InputStateMachine : public ::testing::TestWithParam<TCase> {};

TEST_P(InputStateMachine, TurnsBytesIntoCallbacks) {
  const TCase& c = GetParam();
  TPortFixture f(c.bufferCount, c.bufferSize);
  for (const auto& chunk : c.chunks) {
    const auto bytes = Bytes(chunk);
    f.port.Deliver(bytes.data(), bytes.size());
  }
  EXPECT_EQ(f.recorder.seen, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    ByteSequences, InputStateMachine,
    ::testing::Values(
        TCase{"NoteOn", 4, 16, {"90 3C 7F"}, {"S:903C7F"}},
        TCase{"RunningStatus", 4, 16, {"90 3C 7F 3E 7F"}, {"S:903C7F", "S:903E7F"}},
        TCase{"RunningStatusAcrossDeliveries", 4, 16, {"90 3C", "7F 3E", "7F"},
              {"S:903C7F", "S:903E7F"}},
        TCase{"TwoByteMessages", 4, 16, {"C0 05 D0 40"}, {"S:C005", "S:D040"}},
        TCase{"SystemCommonCancelsRunningStatus", 4, 16, {"90 3C 7F F2 01 02 3C 7F F6 F1 10"},
              {"S:903C7F", "S:F20102", "S:F6", "S:F110", "M:2"}},
        TCase{"SysExInOneBuffer", 4, 16, {"F0 7E 7F 06 01 F7"}, {"L:F07E7F0601F7"}},
        TCase{"SysExAcrossDeliveries", 4, 16, {"F0 01", "02", "F7"}, {"L:F00102F7"}},
        TCase{"SysExSplitOverBuffers", 4, 4, {"F0 01 02 03 04 05 F7"},
              {"L:F0010203", "L:0405F7"}},
        TCase{"SysExFillsBufferExactly", 4, 4, {"F0 01 02 F7"}, {"L:F00102F7"}},
        TCase{"RealTimeInsideSysEx", 4, 16, {"F0 01 F8 02 FE F7"},
              {"S:F8", "S:FE", "L:F00102F7"}},
        TCase{"StatusByteCutsSysExShort", 4, 16, {"F0 01 02 90 3C 7F"},
              {"E:F00102", "S:903C7F"}},
        TCase{"NewSysExCutsOldOne", 4, 16, {"F0 01 F0 02 F7"}, {"E:F001", "L:F002F7"}},
        TCase{"TwoSysExInOneDelivery", 4, 16, {"F0 01 F7 F0 02 F7"}, {"L:F001F7", "L:F002F7"}},
        TCase{"NoBufferQueuedLosesSysEx", 0, 16, {"F0 01 02 F7 90 3C 7F"},
              {"S:903C7F", "X:4"}},
        TCase{"PoolRunsDryInEndlessSysEx", 2, 4, {"F0 01 02 03 04 05 06 07 08 09 0A 0B"},
              {"L:F0010203", "L:04050607", "X:4"}},
        // Bytes that belong to no message are the sender's fault, not a loss.
        TCase{"DataWithoutStatusIsMalformed", 4, 16, {"3C 7F 90 3C 7F"}, {"S:903C7F", "M:2"}},
        TCase{"StrayEndOfExclusiveIsMalformed", 4, 16, {"F7 F8"}, {"S:F8", "M:1"}},
        TCase{"IncompleteMessageCutByStatus", 4, 16, {"90 3C 80 3C 00"}, {"S:803C00", "M:2"}},
        // A SysEx whose bytes were lost for want of a buffer never looks
        // whole: the rest of it is lost too, up to the next status byte.
        TCase{"SysExThatLostBytesIsNotFinishedLater", 1, 4, {"F0 01 02 03 04 05", "06 F7 F0 07 F7"},
              {"L:F0010203", "X:2", "X:5"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Input the system dropped in the middle of a SysEx message: what came of it
// ends as an error piece (an empty one on a buffer's boundary), and the bytes
// after the hole are not added to it.
TEST(InputStateMachineLifecycle, LostInputEndsTheSysExAsAnErrorPiece) {
  const struct {
    uint32_t bufferSize;
    std::vector<std::string> expected;
  } cases[] = {
      {16, {"E:F00102", "X:5", "S:903C7F", "L:F07EF7", "X:3"}},
      {3, {"L:F00102", "E:", "X:5", "S:903C7F", "L:F07EF7", "X:3"}},
  };
  for (const auto& c : cases) {
    TPortFixture f(4, c.bufferSize);
    const auto before = Bytes("F0 01 02"), after = Bytes("03 04 F7 90 3C 7F F0 7E F7");
    f.port.Deliver(before.data(), before.size());
    f.port.ReportLost(5);
    f.port.Deliver(after.data(), after.size());
    EXPECT_EQ(f.recorder.seen, c.expected) << c.bufferSize;
  }
}

TEST(InputStateMachineLifecycle, NothingArrivesBeforeStartOrAfterStop) {
  TRecorder recorder;
  TMidiInPortBase port(&TRecorder::Callback, reinterpret_cast<uintptr_t>(&recorder));
  const uint8_t note[] = {0x90, 0x3C, 0x7F};
  port.Deliver(note, 3);
  port.Start();
  port.Deliver(note, 3);
  port.Stop();
  port.Deliver(note, 3);
  EXPECT_EQ(recorder.seen, std::vector<std::string>{"S:903C7F"});
  port.Close();
}

TEST(InputStateMachineLifecycle, TimeStampsCountFromStart) {
  TManualClock clock(5000);
  TScopedClock scoped(clock);
  TPortFixture f(1, 16);  // starts at 5000
  clock.Advance(250);
  const uint8_t note[] = {0x90, 0x3C, 0x7F};
  f.port.Deliver(note, 3);
  ASSERT_EQ(f.recorder.stamps.size(), 1u);
  EXPECT_EQ(f.recorder.stamps[0], 250u);
}

TEST(InputStateMachineLifecycle, DeviceGoneMidSysExDeliversPieceThenClose) {
  TPortFixture f(2, 16);
  const auto part = Bytes("F0 01 02");
  f.port.Deliver(part.data(), part.size());
  f.port.Disconnected();
  f.port.Deliver(part.data(), part.size());  // ignored from now on
  EXPECT_EQ(f.recorder.seen, (std::vector<std::string>{"E:F00102", "C"}));
  EXPECT_EQ(f.port.AddBuffer(f.headers[0].get()), kMidiErrNoDevice);
}

TEST(InputStateMachineLifecycle, ResetReturnsEveryBufferAndForgetsPartialMessages) {
  TPortFixture f(3, 16);
  const auto part = Bytes("F0 01 02");
  f.port.Deliver(part.data(), part.size());
  EXPECT_EQ(f.port.Reset(), kMidiNoError);
  EXPECT_EQ(f.recorder.seen, (std::vector<std::string>{"L:F00102", "L:", "L:"}));
  for (auto& h : f.headers) {
    EXPECT_FALSE(h->Flags & kMhdrInQueue);
    EXPECT_EQ(f.port.UnprepareHeader(h.get()), kMidiNoError);
  }
}

TEST(InputStateMachineLifecycle, QueuedBufferCannotBeUnpreparedOrAddedTwice) {
  TPortFixture f(1, 16);
  EXPECT_EQ(f.port.UnprepareHeader(f.headers[0].get()), kMidiErrStillPlaying);
  EXPECT_EQ(f.port.AddBuffer(f.headers[0].get()), kMidiErrStillPlaying);
  TMidiHdr unprepared;
  uint8_t data[4];
  unprepared.Data = data;
  unprepared.BufferLength = 4;
  EXPECT_EQ(f.port.AddBuffer(&unprepared), kMidiErrUnprepared);
}

}  // namespace
}  // namespace kalvex

namespace kalvex {
namespace {

// A backend that cannot wait keeps what the input could not take, delivers
// it first once buffers come back, and reports beyond its limit as lost.
TEST(InputHold, KeepsBytesUntilBuffersComeBackAndReportsBeyondTheLimit) {
  TRecorder recorder;
  TMidiInPortBase port(&TRecorder::Callback, reinterpret_cast<uintptr_t>(&recorder),
                       TMidiInPortBase::TNoBuffer::Hold);
  uint8_t block[4];
  TMidiHdr hdr;
  hdr.Data = block;
  hdr.BufferLength = sizeof block;
  port.PrepareHeader(&hdr);
  port.AddBuffer(&hdr);
  port.Start();
  const auto sysex = Bytes("F0 01 02 03 04 05 06 F7");
  port.DeliverOrHold(sysex.data(), sysex.size(), 16);
  EXPECT_EQ(recorder.seen, (std::vector<std::string>{"L:F0010203"}));
  EXPECT_TRUE(port.Holding());
  const auto note = Bytes("90 3C 7F");
  port.DeliverOrHold(note.data(), note.size(), 16);  // waits behind the held SysEx
  EXPECT_FALSE(port.DeliverHeld());                   // still no buffer
  const auto big = Bytes("F0 11 12 13 14 15 16 17 18 19 F7");
  port.DeliverOrHold(big.data(), big.size(), 16);  // beyond the limit: lost after what is held
  hdr.BytesRecorded = 0;
  port.AddBuffer(&hdr);
  EXPECT_TRUE(port.DeliverHeld());
  EXPECT_EQ(recorder.seen, (std::vector<std::string>{"L:F0010203", "L:040506F7", "S:903C7F", "X:11"}));
  EXPECT_FALSE(port.Holding());
  port.Close();
}

}  // namespace
}  // namespace kalvex
