// The receive path on the manual clock: thru, SysEx-only, and bulk dumps
// held while they arrive and shown when the input goes quiet.
#include "workbench/receive_path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/workbench/capture_log.h"
#include "util/clock.h"

namespace kalvex {
namespace {

class TFakeView : public TReceiveView {
public:
  void ScrollInToEndLater() override {}
  void ScrollInToEnd() override { ++scrolls; }
  void ShowBulkPanel(const std::string& bytes, const std::string& speed) override {
    visible = true;
    panelBytes = bytes;
    panelSpeed = speed;
  }
  void HideBulkPanel() override { visible = false; }
  bool BulkPanelVisible() const override { return visible; }
  void SetBulkTimer(bool on) override { timer = on; }
  bool visible = false, timer = false;
  std::string panelBytes, panelSpeed;
  int scrolls = 0;
};

class TThru : public TSendTarget {
public:
  void SendShort(uint8_t s, uint8_t d1, uint8_t d2) override { sent.push_back({s, d1, d2}); }
  void SendLong(const uint8_t* data, int length) override { sent.emplace_back(data, data + length); }
  std::vector<std::vector<uint8_t>> sent;
};

std::unique_ptr<TMyMidiEvent> SysEx(size_t size, uint8_t fill = 0x11) {
  auto e = std::make_unique<TMyMidiEvent>();
  e->Status = 0xF0;
  e->SysExLength = static_cast<int32_t>(size);
  e->SysExData = std::make_unique<uint8_t[]>(size);
  std::memset(e->SysExData.get(), fill, size);
  e->SysExData[0] = 0xF0;
  e->SysExData[size - 1] = 0xF7;
  return e;
}

std::unique_ptr<TMyMidiEvent> Short(uint8_t s, uint8_t d1, uint8_t d2) {
  auto e = std::make_unique<TMyMidiEvent>();
  e->Status = s;
  e->Data1 = d1;
  e->Data2 = d2;
  return e;
}

struct ReceivePath : testing::Test {
  TManualClock clock{100000};
  TScopedClock scoped{clock};
  test::TCaptureLog log;
  TFakeView view;
  TReceiveOptions options;
  TThru thru;
  TBMStrings box;
  TReceivePath path{box, log, view, options, &thru};
  int Received() const {  // "Received N bytes succesfully." lines
    int n = 0;
    for (const auto& l : log.Texts()) n += l.find("bytes succesfully.") != std::string::npos;
    return n;
  }
};

TEST_F(ReceivePath, NineMessagesInASecondBecomeABulkDumpShownWhenQuiet) {
  box.Add("90 3C 7F");  // shown before the burst: stays
  for (int i = 0; i < 8; ++i) {
    path.Handle(SysEx(10));
    EXPECT_EQ(box.Count(), 2 + i);
    clock.Advance(100);
  }
  EXPECT_EQ(Received(), 8);
  path.Handle(SysEx(10));  // the ninth: a bulk dump
  EXPECT_TRUE(path.BulkActive());
  EXPECT_EQ(box.Count(), 1);  // the eight lines went
  EXPECT_TRUE(view.visible);
  EXPECT_TRUE(view.timer);
  EXPECT_EQ(view.panelBytes, "Received 90 bytes...");
  clock.Advance(600);
  path.TimerTick();  // not quiet long enough yet
  EXPECT_TRUE(path.BulkActive());
  clock.Advance(400);
  path.TimerTick();
  EXPECT_FALSE(path.BulkActive());
  EXPECT_FALSE(view.timer);
  EXPECT_FALSE(view.visible);
  EXPECT_EQ(box.Count(), 10);
  EXPECT_EQ(box[1], "F0 11 11 11 11 11 11 11 11 F7");
  EXPECT_EQ(log.Texts().back().rfind("Received 90 bytes of bulk dump (at ", 0), 0u) << log.Texts().back();
  EXPECT_EQ(view.scrolls, 1);
}

// Clear In during a burst window: the dump that follows shows each message
// once, and what was cleared does not come back.
TEST_F(ReceivePath, ClearingTheBoxDuringABurstStartsTheWindowAfresh) {
  for (int i = 0; i < 3; ++i) {
    path.Handle(SysEx(10, 0x22));  // shown, then cleared by the user
    clock.Advance(100);
  }
  box.Clear();
  path.BoxCleared();
  for (int i = 0; i < 9; ++i) {
    path.Handle(SysEx(10));
    clock.Advance(100);
  }
  EXPECT_TRUE(path.BulkActive());
  clock.Advance(TReceivePath::kQuietMs);
  path.TimerTick();
  ASSERT_FALSE(path.BulkActive());
  EXPECT_EQ(box.Count(), 9) << box.Text();
  for (int i = 0; i < box.Count(); ++i) EXPECT_EQ(box[i], "F0 11 11 11 11 11 11 11 11 F7") << i;
}

TEST_F(ReceivePath, MarksAreTestedBeforeAMessageCountsAndWindowsExpire) {
  path.Handle(SysEx(600));  // alone: shown at once
  EXPECT_FALSE(path.BulkActive());
  EXPECT_EQ(box.Count(), 1);
  clock.Advance(1000);
  path.Handle(SysEx(20));  // within 1.5 s of the first: bulk
  EXPECT_TRUE(path.BulkActive());
  EXPECT_EQ(box.Count(), 0);
  clock.Advance(1000);
  path.TimerTick();
  EXPECT_EQ(box.Count(), 2);

  // Two messages of 300 bytes 2 s apart: each opens a window of its own.
  box.Clear();
  clock.Advance(5000);
  path.Handle(SysEx(300));
  clock.Advance(2000);
  path.Handle(SysEx(300));
  EXPECT_FALSE(path.BulkActive());
  EXPECT_EQ(box.Count(), 2);
}

TEST_F(ReceivePath, ShortMessagesOfAWindowGoWithTheBulkDumpAndThoseDuringItShowAtOnce) {
  path.Handle(SysEx(300));
  path.Handle(Short(0x90, 0x3C, 0x7F));
  path.Handle(SysEx(300));
  EXPECT_EQ(box.Count(), 3);
  path.Handle(SysEx(300));  // 600 bytes in the window: bulk
  EXPECT_EQ(box.Count(), 0);
  path.Handle(Short(0x80, 0x3C, 0x00));  // during the dump: shown at once
  EXPECT_EQ(box.Lines(), std::vector<std::string>{"80 3C 00"});
  clock.Advance(1000);
  path.TimerTick();
  EXPECT_EQ(box.Count(), 4);  // the note, then the three dumps; the first note is not shown again
  EXPECT_EQ(box[0], "80 3C 00");
}

TEST_F(ReceivePath, ThruEchoesEverythingBeforeFiltersAndSysExOnlyHidesShorts) {
  options.MidiThru = true;
  options.SysExOnly = true;
  path.Handle(Short(0x90, 0x3C, 0x7F));
  path.Handle(SysEx(5));
  EXPECT_EQ(thru.sent.size(), 2u);
  EXPECT_EQ(thru.sent[0], (std::vector<uint8_t>{0x90, 0x3C, 0x7F}));
  EXPECT_EQ(box.Lines(), std::vector<std::string>{"F0 11 11 11 F7"});
}

TEST_F(ReceivePath, WithoutDetectionEveryMessageShowsAndNothingIsHeld) {
  options.DetectBulkDumps = false;
  for (int i = 0; i < 20; ++i) path.Handle(SysEx(100));
  EXPECT_FALSE(path.BulkActive());
  EXPECT_EQ(path.HeldEvents(), 0u);
  EXPECT_EQ(box.Count(), 20);
  EXPECT_EQ(Received(), 20);
}

TEST_F(ReceivePath, TimingClockInsideSysExRendersOnTwoLinesAndErrorsAreLogged) {
  auto e = SysEx(6);
  e->SysExData[3] = 0xF8;
  path.Handle(std::move(e));
  EXPECT_EQ(box.Lines(), (std::vector<std::string>{"F0 11 11", "F8 11 F7"}));
  // A drain reads until nothing is pending.
  std::vector<std::unique_ptr<TMyMidiEvent>> pending;
  pending.push_back(Short(0xC0, 5, 0));
  pending.push_back(Short(0xF8, 0, 0));
  size_t next = 0;
  path.Drain([&]() -> std::unique_ptr<TMyMidiEvent> {
    return next < pending.size() ? std::move(pending[next++]) : nullptr;
  });
  EXPECT_EQ(box.Lines().back(), "F8");
}

}  // namespace
// "Describe received messages": a comment on each whole message's last line,
// also for messages shown at the end of a bulk dump; none when it is off.
TEST_F(ReceivePath, DescribedMessagesGetACommentOnTheirLastLine) {
  options.DetectBulkDumps = false;
  options.DescribeMessages = true;
  auto gsReset = [] {
    const uint8_t bytes[] = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
    auto e = SysEx(sizeof bytes);
    std::memcpy(e->SysExData.get(), bytes, sizeof bytes);
    return e;
  };
  path.Handle(gsReset());
  ASSERT_EQ(box.Count(), 1);
  EXPECT_EQ(box.Get(0), "F0 41 10 42 12 40 00 7F 00 41 F7 ; Roland Corporation, 11 bytes, checksum OK");
  options.SplitThreshold = 4;
  path.Handle(gsReset());
  EXPECT_EQ(box.Get(box.Count() - 1), "00 41 F7 ; Roland Corporation, 11 bytes, checksum OK");
  options.SplitThreshold = -1;
  options.DetectBulkDumps = true;
  for (int i = 0; i < 10; ++i) path.Handle(gsReset());
  clock.Advance(2000);
  path.TimerTick();
  EXPECT_EQ(box.Get(box.Count() - 1), "F0 41 10 42 12 40 00 7F 00 41 F7 ; Roland Corporation, 11 bytes, checksum OK");
  options.DescribeMessages = false;
  options.DetectBulkDumps = false;
  path.Handle(gsReset());
  EXPECT_EQ(box.Get(box.Count() - 1), "F0 41 10 42 12 40 00 7F 00 41 F7");
}

}  // namespace kalvex
