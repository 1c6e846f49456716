// End to end through the built-in loopback: output -> driver thread -> input
// callback -> circular buffer -> wake-up on the event loop -> ReadEvent.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <cstring>

#include "midi/loopback/loopback_service.h"
#include "midi/midi_input.h"
#include "midi/midi_output.h"
#include "midi/midi_system.h"
#include "tests/midi/midi_test_util.h"

namespace kalvex {
namespace {

using test::PatternSysEx;
using test::WaitUntil;


// One cable with both ends open; events collected as OnDataAvailable fires.
class Loopback : public ::testing::Test {
protected:
  static constexpr const char* kCable = "Kalvex Loopback 1";

  void SetUp() override {
    out.SetDeviceID(FindDeviceIdByName(true, kCable));
    in.SetDeviceID(FindDeviceIdByName(false, kCable));
    in.DetectMidiLoop = false;  // both ends of a cable on purpose
    in.OnDataAvailable = [this](TMidiInput& sender) {
      ++wakeups;
      while (sender.PendingCount() > 0)
        if (auto e = sender.ReadEvent()) events.push_back(std::move(e));
    };
    in.OnOverflow = [this](TMidiInputBase&) { ++overflows; };
    in.OnMalformed = [this](TMidiInputBase&) { ++malformed; };
  }
  void OpenBoth() {
    out.Open();
    in.Open();
    in.Start();
  }
  // Waits until everything sent so far went through the cable.
  bool Flush() {
    const uint8_t marker[] = {0xF0, 0x7D, 0x00, 0xF7};
    const size_t before = events.size();
    if (!out.SendLong(marker, 4)) return false;
    if (!WaitUntil([&] { return out.PendingLongCount() == 0; })) return false;
    const bool ok = WaitUntil([&] {
      return events.size() > before && events.back()->SysExLength == 4 &&
             events.back()->SysExData[1] == 0x7D;
    });
    if (ok) events.pop_back();
    return ok;
  }
  std::vector<uint8_t> SysExBytes() const {
    std::vector<uint8_t> all;
    for (auto& e : events)
      if (e->SysExLength > 0) all.insert(all.end(), e->SysExData.get(), e->SysExData.get() + e->SysExLength);
    return all;
  }

  TMidiOutput out;
  TMidiInput in;
  std::vector<std::unique_ptr<TMyMidiEvent>> events;
  int wakeups = 0;
  int overflows = 0;
  int malformed = 0;
};

TEST_F(Loopback, ShortMessagesArriveInOrderAndFiltersApply) {
  OpenBoth();
  EXPECT_TRUE(out.SendShort(0x90, 0x3C, 0x7F));
  EXPECT_TRUE(out.SendShort(0xC0, 0x05, 0x00));  // two bytes: the third is padding
  EXPECT_TRUE(out.SendShort(0xFE, 0, 0));        // Active Sensing: dropped by default
  EXPECT_TRUE(out.SendShort(0xF8, 0, 0));        // Timing Clock: kept by default
  ASSERT_TRUE(Flush());
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0]->Status, 0x90);
  EXPECT_EQ(events[0]->Data1, 0x3C);
  EXPECT_EQ(events[0]->Data2, 0x7F);
  EXPECT_EQ(events[1]->Status, 0xC0);
  EXPECT_EQ(events[1]->Data1, 0x05);
  EXPECT_EQ(events[1]->EventLength(), 2);
  EXPECT_EQ(events[2]->Status, 0xF8);
  events.clear();

  in.SetActiveSensing(true);
  in.SetTimingClock(false);
  out.SendShort(0xFE, 0, 0);
  out.SendShort(0xF8, 0, 0);
  ASSERT_TRUE(Flush());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->Status, 0xFE);
  events.clear();

  in.SetSysExOnly(true);
  out.SendShort(0x90, 0x3C, 0x7F);
  const uint8_t sysex[] = {0xF0, 0x01, 0xF7};
  out.SendLong(sysex, 3);
  ASSERT_TRUE(Flush());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->SysExLength, 3);
}

TEST_F(Loopback, SysExLongerThanABufferArrivesInPieces) {
  OpenBoth();
  const auto data = PatternSysEx(2500);
  ASSERT_TRUE(out.SendLong(data.data(), static_cast<int>(data.size())));
  ASSERT_TRUE(Flush());
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0]->Status, 0xF0);
  EXPECT_EQ(events[0]->SysExLength, 1024);
  EXPECT_EQ(events[1]->Status, 0xF7);
  EXPECT_EQ(events[1]->SysExLength, 1024);
  EXPECT_EQ(events[2]->Status, 0xF7);
  EXPECT_EQ(events[2]->SysExLength, 452);
  EXPECT_EQ(SysExBytes(), data);
}

TEST_F(Loopback, SysExOfEverySizeArrivesByteExact) {
  OpenBoth();
  for (size_t size : {size_t(2), size_t(3), size_t(1023), size_t(1024), size_t(1025),
                      size_t(16 * 1024 + 1), size_t(1024 * 1024)}) {
    events.clear();
    const auto data = PatternSysEx(size, static_cast<uint32_t>(size));
    ASSERT_TRUE(out.SendLong(data.data(), static_cast<int>(data.size())));
    ASSERT_TRUE(Flush()) << size;
    EXPECT_EQ(SysExBytes(), data) << size;
    EXPECT_EQ(overflows, 0) << size;
  }
}

TEST_F(Loopback, SysExSentInOneBytePiecesArrivesWhole) {
  OpenBoth();
  const auto data = PatternSysEx(300);
  for (uint8_t b : data) ASSERT_TRUE(out.SendLong(&b, 1));
  ASSERT_TRUE(Flush());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(SysExBytes(), data);
}

TEST_F(Loopback, RealTimeBytesInsideSysExComeOutSeparately) {
  OpenBoth();
  const uint8_t data[] = {0xF0, 0x01, 0xF8, 0x02, 0xF7};
  ASSERT_TRUE(out.SendLong(data, 5));
  ASSERT_TRUE(Flush());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]->Status, 0xF8);
  EXPECT_EQ(events[0]->SysExLength, 0);
  const std::vector<uint8_t> sysex = {0xF0, 0x01, 0x02, 0xF7};
  EXPECT_EQ(SysExBytes(), sysex);
}

TEST_F(Loopback, FullRecordBufferDropsAndReportsOverflowOnce) {
  in.RecordCapacity = 8;
  in.OnDataAvailable = [](TMidiInput&) {};  // a reader that reads nothing yet
  OpenBoth();
  for (int i = 0; i < 20; ++i) out.SendShort(0x90, static_cast<uint8_t>(i), 0x40);
  const uint8_t end[] = {0xF0, 0x7D, 0xF7};
  out.SendLong(end, 3);
  // Everything arrives before the window gets to drain even once.
  QElapsedTimer timer;
  timer.start();
  while (out.PendingLongCount() > 0 && timer.elapsed() < 5000) QThread::msleep(1);
  ASSERT_EQ(out.PendingLongCount(), 0);
  QThread::msleep(20);
  ASSERT_TRUE(WaitUntil([&] { return overflows > 0; }, 1000));
  QCoreApplication::processEvents();
  EXPECT_EQ(overflows, 1);  // one burst, one report
  EXPECT_EQ(in.PendingCount(), 8);
  for (int i = 0; i < 8; ++i) {
    auto e = in.ReadEvent();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Data1, i);  // the oldest are kept
  }
  EXPECT_FALSE(in.ReadEvent());
  // Buffers of dropped SysEx went back to the driver: SysEx still arrives.
  in.OnDataAvailable = [this](TMidiInput& sender) {
    while (auto e = sender.ReadEvent()) events.push_back(std::move(e));
  };
  const auto data = PatternSysEx(3000);  // fits the 8 records
  out.SendLong(data.data(), static_cast<int>(data.size()));
  ASSERT_TRUE(Flush()) << events.size() << " events, pending " << in.PendingCount();
  EXPECT_EQ(SysExBytes(), data);
}

// Data bytes without a status and an F7 without an F0 are the sender's
// fault: they are reported as such, not as input that could not keep up.
TEST_F(Loopback, BytesOfNoMessageAreReportedMalformedNotLost) {
  OpenBoth();
  const uint8_t stray[] = {0x3C, 0x7F, 0xF7};
  ASSERT_TRUE(out.SendLong(stray, 3));
  ASSERT_TRUE(out.SendShort(0x90, 0x3C, 0x7F));
  ASSERT_TRUE(Flush());
  EXPECT_TRUE(WaitUntil([&] { return malformed > 0; })) << "no malformed report";
  EXPECT_EQ(overflows, 0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->Status, 0x90);
}

TEST_F(Loopback, CallbackStormStaysBoundedAndIsReported) {
  OpenBoth();
  in.OnDataAvailable = nullptr;
  in.Close();
  in.OnDataAvailable = [this](TMidiInput&) { ++wakeups; };  // never reads
  in.Open();
  in.Start();
  for (int i = 0; i < 100000; ++i) out.SendShort(0xF8, 0, 0);
  const uint8_t end[] = {0xF0, 0x7D, 0xF7};
  out.SendLong(end, 3);
  ASSERT_TRUE(WaitUntil([&] { return out.PendingLongCount() == 0; }, 20000));
  ASSERT_TRUE(WaitUntil([&] { return overflows > 0; }, 1000));
  EXPECT_EQ(in.PendingCount(), TMidiInput::kDefaultRecordCapacity);
  // One wake-up at a time is in flight, and each drain reports the overflow
  // seen since the previous one at most once.
  EXPECT_LT(wakeups, 20000);  // far fewer than the 100000 messages
  EXPECT_LE(overflows, wakeups + 1);
}

TEST_F(Loopback, ShortCallbackClaimsMessagesBeforeTheBuffer) {
  std::atomic<int> claimed{0};
  in.SetShortCallback([&](TMidiInputBase&, uint32_t message, bool& handled) {
    handled = (message & 0xFF) == 0xB0;
    if (handled) ++claimed;
  });
  OpenBoth();
  out.SendShort(0xB0, 0x07, 0x64);
  out.SendShort(0x90, 0x3C, 0x7F);
  ASSERT_TRUE(Flush());
  EXPECT_EQ(claimed, 1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->Status, 0x90);
}

TEST_F(Loopback, DirectEventsConsumeRecords) {
  std::vector<uint32_t> shorts;
  std::vector<uint8_t> sysex;
  in.OnDataAvailable = nullptr;
  in.OnShortMessage = [&](TMidiInputBase&, uint32_t m) { shorts.push_back(m); };
  in.OnSysExMessage = [&](TMidiInputBase&, const uint8_t* d, uint32_t n) {
    sysex.insert(sysex.end(), d, d + n);
  };
  OpenBoth();
  out.SendShort(0x90, 0x3C, 0x7F);
  const auto data = PatternSysEx(5000);
  out.SendLong(data.data(), static_cast<int>(data.size()));
  ASSERT_TRUE(WaitUntil([&] { return sysex.size() == data.size(); }));
  EXPECT_EQ(sysex, data);
  EXPECT_EQ(shorts, std::vector<uint32_t>{0x7F3C90});
  EXPECT_TRUE(WaitUntil([&] { return in.PendingCount() == 0; }));
}

TEST_F(Loopback, OpenCloseReopenKeepsWorking) {
  for (int round = 0; round < 3; ++round) {
    OpenBoth();
    EXPECT_TRUE(in.IsStarted());
    out.SendShort(0x90, static_cast<uint8_t>(round), 0x7F);
    const auto data = PatternSysEx(3000, static_cast<uint32_t>(round));
    out.SendLong(data.data(), static_cast<int>(data.size()));
    ASSERT_TRUE(Flush()) << round;
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0]->Data1, round);
    events.erase(events.begin());
    EXPECT_EQ(SysExBytes(), data);
    events.clear();
    // Closing with data still on its way neither hangs nor leaks.
    out.SendLong(data.data(), static_cast<int>(data.size()));
    in.Close();
    out.Close();
    EXPECT_EQ(out.PendingLongCount(), 0);
    EXPECT_FALSE(in.ReadEvent());
  }
}

TEST_F(Loopback, HandlerMayCloseThePortAndInputMayGoWithWakeUpPending) {
  in.OnDataAvailable = [&](TMidiInput& sender) {
    if (auto e = sender.ReadEvent()) events.push_back(std::move(e));
    sender.Close();  // from inside the drain
  };
  OpenBoth();
  out.SendShort(0x90, 0x3C, 0x7F);
  out.SendShort(0x80, 0x3C, 0x00);
  ASSERT_TRUE(WaitUntil([&] { return !in.IsOpen(); }));
  EXPECT_EQ(events.size(), 1u);
  QCoreApplication::processEvents();
  {
    // An input that goes away with a wake-up still queued for it.
    TMidiInput second;
    second.SetDeviceID(in.DeviceID());
    second.DetectMidiLoop = false;
    second.OnDataAvailable = [](TMidiInput&) {};
    second.Open();
    second.Start();
    out.SendShort(0x90, 0x3C, 0x7F);
    const uint8_t end[] = {0xF0, 0x7D, 0xF7};
    out.SendLong(end, 3);
    QElapsedTimer timer;
    timer.start();
    while (second.PendingCount() < 2 && timer.elapsed() < 5000) QThread::msleep(1);
    ASSERT_EQ(second.PendingCount(), 2);  // arrived, and the wake-up for them is queued
  }
  QCoreApplication::processEvents();  // the wake-up finds nobody: nothing happens
  EXPECT_EQ(events.size(), 1u);
  EXPECT_FALSE(in.IsOpen());
}

TEST_F(Loopback, TimeStampsCountFromStart) {
  OpenBoth();
  QThread::msleep(30);
  out.SendShort(0x90, 0x3C, 0x7F);
  ASSERT_TRUE(Flush());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_GE(events[0]->Timestamp, 25u);
  EXPECT_LT(events[0]->Timestamp, 5000u);
}

TEST(LoopbackOutput, SendLongRulesAndLogText) {
  TMidiOutput out;
  std::vector<std::string> log;
  out.OnLog = [&](TMidiOutput&, const std::string& text) { log.push_back(text); };
  const uint8_t data[] = {0xF0, 0x7E, 0xF7};
  EXPECT_FALSE(out.SendLong(data, 3));  // not open
  out.SetDeviceID(FindDeviceIdByName(true, "Kalvex Loopback 2"));
  out.Open();
  EXPECT_FALSE(out.SendLong(data, 0));
  EXPECT_EQ(out.PendingLongCount(), 0);
  EXPECT_TRUE(out.SendShort(0xC0, 0x05, 0x00));
  EXPECT_TRUE(out.SendLong(data, 3));
  EXPECT_EQ(log, (std::vector<std::string>{"C0 05 00", "F07EF7"}));
  EXPECT_TRUE(WaitUntil([&] { return out.PendingLongCount() == 0; }));
}

TEST(LoopbackOutput, ChunkedSendWaitsAndStops) {
  TMidiOutput out;
  out.SetDeviceID(FindDeviceIdByName(true, "Kalvex Loopback 2"));
  out.Open();
  std::vector<size_t> pieces;
  out.OnLog = [&](TMidiOutput&, const std::string& text) { pieces.push_back(text.size() / 2); };
  int waits = 0;
  const auto data = PatternSysEx(2500);
  EXPECT_EQ(out.SendLongChunked(data.data(), 2500, [&](TMidiOutputBase&, bool&) { ++waits; }), 2500);
  EXPECT_EQ(pieces, (std::vector<size_t>{1000, 1000, 500}));
  EXPECT_EQ(waits, 2);
  // Stop after the first piece.
  pieces.clear();
  EXPECT_EQ(out.SendLongChunked(data.data(), 2500, [](TMidiOutputBase&, bool& go) { go = false; }), 1000);
  EXPECT_EQ(pieces.size(), 1u);
}

TEST(LoopbackCable, RemovedWhileOpenClosesBothEndsAndNotifies) {
  auto& loopback = LoopbackService();
  QSignalSpy changed(&MidiDeviceNotifier(), &TMidiDeviceNotifier::DevicesChanged);
  ASSERT_TRUE(loopback.AddCable("Unplugged Cable"));
  ASSERT_TRUE(WaitUntil([&] { return changed.count() >= 1; }));
  TMidiOutput out;
  TMidiInput in;
  std::vector<std::unique_ptr<TMyMidiEvent>> events;
  out.SetDeviceID(FindDeviceIdByName(true, "Unplugged Cable"));
  in.SetDeviceID(FindDeviceIdByName(false, "Unplugged Cable"));
  in.OnDataAvailable = [&](TMidiInput& s) {
    while (auto e = s.ReadEvent()) events.push_back(std::move(e));
  };
  out.Open();
  in.Open();
  in.Start();
  // A message cut off in the middle: the device goes away before its end.
  const auto data = PatternSysEx(100000);
  ASSERT_TRUE(out.SendLong(data.data(), 50000));
  changed.clear();
  ASSERT_TRUE(loopback.RemoveCable("Unplugged Cable"));
  ASSERT_TRUE(WaitUntil([&] { return out.DriverClosed(); }));
  EXPECT_TRUE(WaitUntil([&] { return changed.count() >= 1; }));
  EXPECT_EQ(out.PendingLongCount(), 0);
  EXPECT_FALSE(out.SendLong(data.data(), 10));  // refused after the driver closed
  EXPECT_FALSE(out.SendShort(0x90, 0x3C, 0x7F));
  EXPECT_FALSE(in.ReadEvent());
  in.CloseIfDisconnected();
  out.CloseIfDisconnected();
  EXPECT_FALSE(in.IsOpen());
  EXPECT_FALSE(out.IsOpen());
  for (auto& e : events) ASSERT_LE(e->SysExLength, 1024);  // whatever came, came in pieces
}

}  // namespace
}  // namespace kalvex
