// The send engine on the manual clock with a fake output: what goes out as
// short and long messages, pacing, pauses, progress and cancel.
#include "workbench/send_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <utility>
#include <string>
#include <vector>

#include "tests/workbench/capture_log.h"
#include "util/clock.h"

namespace kalvex {
namespace {

struct TSent {
  bool isShort;
  std::vector<uint8_t> bytes;
  uint32_t at;
};

class TFakeOutput : public TSendTarget {
public:
  void SendShort(uint8_t s, uint8_t d1, uint8_t d2) override { sent.push_back({true, {s, d1, d2}, TimeGetTime()}); }
  void SendLong(const uint8_t* data, int length) override {
    sent.push_back({false, std::vector<uint8_t>(data, data + length), TimeGetTime()});
    if (onLong) onLong(sent.size());
  }
  bool PortOpen() const override { return open; }
  int PendingMessages() const override { return pending; }
  int64_t PendingBytes() const override { return pendingBytes; }
  void DropPending() override {
    ++drops;
    pending = 0;
    pendingBytes = 0;
  }
  std::function<void(size_t count)> onLong;
  bool open = true;
  int pending = 0;
  int64_t pendingBytes = 0;
  int drops = 0;
  std::vector<std::string> Shapes() const {  // "S:3" short, "L:128" long of 128 bytes
    std::vector<std::string> out;
    for (const auto& s : sent) out.push_back((s.isShort ? "S:" : "L:") + std::to_string(s.bytes.size()));
    return out;
  }
  std::vector<TSent> sent;
};

struct SendEngine : testing::Test {
  TManualClock clock{1000};
  TScopedClock scoped{clock};
  test::TCaptureLog log;
  THexParser parser{log};
  TFakeOutput out;
  TSendSettings settings;
  std::function<void()> onEvents;  // what the window does while events are handled
  int sendingChanges = 0;
  TSendEngine engine{log, parser, out, settings,
                     TSendHooks{[this] {
                                  if (onEvents) onEvents();
                                },
                                [this](int ms) { clock.Advance(static_cast<uint32_t>(ms)); },
                                [this](bool) { ++sendingChanges; }}};
  TBMStrings box;

  void Send(const std::string& text) {
    box.SetText(text);
    engine.Send(box, nullptr, 0);
  }
  std::string Line(size_t bytes, bool sysex = true) {
    std::string s = sysex ? "F0" : "";
    for (size_t i = sysex ? 2 : 0; i < bytes; ++i) s += " 01";
    return sysex ? s + " F7" : s;
  }
};

TEST_F(SendEngine, EachLineGoesOutShortOrLongByItsBytes) {
  settings.SendSpeed = TSendEngine::kNoPacing;
  const struct {
    std::string line;
    std::vector<std::string> shapes;
  } cases[] = {
      {"F0 7E 7F 06 01 F7", {"L:6"}},
      {"90 3C 7F", {"S:3"}},
      {"C0 05", {"S:3"}},        // a 2-byte message with the zero the parser left behind
      {"F8", {"S:3"}},
      {"F0", {"S:3"}},           // the length rule gives 1
      {"90 3C", {"L:2"}},        // length does not match its status
      {"90 3C 80", {"L:3"}},     // a data byte above 7F
      {"90 3C 7F 3E 7F", {"L:5"}},
      {"// only a comment", {}},
      {Line(300), {"L:128", "L:128", "L:44"}},
  };
  for (const auto& c : cases) {
    out.sent.clear();
    Send(c.line);
    EXPECT_EQ(out.Shapes(), c.shapes) << c.line;
  }
  settings.SplitSending = false;
  out.sent.clear();
  Send(Line(300));
  EXPECT_EQ(out.Shapes(), std::vector<std::string>{"L:300"});
  EXPECT_EQ(out.sent[0].bytes.front(), 0xF0);
  EXPECT_EQ(out.sent[0].bytes.back(), 0xF7);
  EXPECT_EQ(log.Texts().back(), "Sent 300 bytes");
}

TEST_F(SendEngine, PacingFollowsTheSpeedSetting) {
  std::string text;
  for (int i = 0; i < 30; ++i) text += Line(100) + "\r\n";  // 3000 bytes
  for (int speed : {-1000, -500, 0, 500}) {
    settings.SendSpeed = speed;
    out.sent.clear();
    const uint32_t start = TimeGetTime();
    Send(text);
    const double ms = TimeGetTime() - start;
    const double expected = 3000 * MsPerByte(speed);
    EXPECT_NEAR(ms, expected, expected * 0.02 + 2 * TSendEngine::kLeadMs) << speed;
    EXPECT_EQ(out.sent.size(), 30u);  // a line of 100 bytes is one piece
  }
  // No pacing: nothing waits.
  for (auto [speed, throttle] : {std::pair{TSendEngine::kNoPacing, true}, std::pair{0, false}}) {
    settings.SendSpeed = speed;
    settings.ThrottlingActive = throttle;
    const uint32_t start = TimeGetTime();
    Send(text);
    EXPECT_EQ(TimeGetTime(), start);
  }
  EXPECT_NEAR(MsPerByte(0), 0.32, 1e-12);
  EXPECT_NEAR(MsPerByte(-1000), 3.19, 0.01);
  EXPECT_NEAR(1000 * MsPerByte(-500), 1010.6, 0.1);  // 1000 bytes take about a second
}

// Throttling switched off and on again during a send (the settings
// dialog's live preview): pacing starts afresh, with no unpaced burst as long
// as the time it was off.
TEST_F(SendEngine, ThrottlingOffAndOnAgainRestartsThePace) {
  std::string text;
  for (int i = 0; i < 30; ++i) text += Line(100) + "\r\n";
  settings.SendSpeed = -1000;
  uint32_t onAgainAt = 0;
  out.onLong = [&](size_t count) {
    if (count == 5) settings.ThrottlingActive = false;
    if (count == 8) {
      clock.Advance(2000);  // the user takes a while
      settings.ThrottlingActive = true;
      onAgainAt = TimeGetTime();
    }
  };
  Send(text);
  const double paced = 23 * 100 * MsPerByte(-1000);  // the piece it came in and the 22 after it
  EXPECT_NEAR(TimeGetTime() - onAgainAt, paced, paced * 0.02 + 2 * TSendEngine::kLeadMs);
}

TEST_F(SendEngine, PauseAfterEachSysExMessageAlsoInsideALine) {
  settings.SendSpeed = TSendEngine::kNoPacing;
  settings.MessagePauseMs = 50;
  std::string text;
  for (int i = 0; i < 20; ++i) text += Line(100) + "\r\n";
  const uint32_t start = TimeGetTime();
  Send(text);
  EXPECT_NEAR(static_cast<double>(TimeGetTime() - start), 1000.0, 50.0);
  out.sent.clear();
  Send("F0 01 F7 F0 02 F7 90 3C 7F");
  ASSERT_EQ(out.Shapes(), (std::vector<std::string>{"L:3", "L:3", "L:3"}));
  EXPECT_GE(out.sent[1].at - out.sent[0].at, 50u);
  EXPECT_GE(out.sent[2].at - out.sent[1].at, 50u);
}

TEST_F(SendEngine, ASecondClickOrEscCancelsBeforeTheNextPieceAndWithinANap) {
  std::string text;
  for (int i = 0; i < 50; ++i) text += Line(100) + "\r\n";
  settings.SendSpeed = -500;
  int calls = 0;
  onEvents = [&] {
    if (++calls == 20) engine.Send(box, nullptr, 0);  // the second click
  };
  Send(text);
  EXPECT_FALSE(engine.Sending());
  const std::string last = log.Texts().back();
  EXPECT_EQ(last.rfind("Sending cancelled (sent ", 0), 0u) << last;
  EXPECT_LT(out.sent.size(), 50u);
  // Esc during a long pacing wait: the next nap ends it.
  onEvents = nullptr;
  settings.SendSpeed = -1000;
  uint32_t cancelledAt = 0;
  onEvents = [&] {
    if (TimeGetTime() - 1000 > 0 && !cancelledAt && out.sent.size() >= 2) {
      engine.RequestCancel();
      cancelledAt = TimeGetTime();
    }
  };
  out.sent.clear();
  Send(text);
  EXPECT_LE(out.sent.size(), 2u);
  EXPECT_EQ(log.Texts().back().rfind("Sending cancelled", 0), 0u);
  EXPECT_EQ(sendingChanges % 2, 0);  // every send restored the window
}

TEST_F(SendEngine, SelectionCountsFromItsFirstLineAndProgressNeedsThreeLines) {
  settings.SendSpeed = -1000;  // slow enough for progress lines
  std::string text;
  for (int i = 0; i < 40; ++i) text += Line(100) + "\r\n";
  box.SetText(text);
  const std::string selection = Line(100) + "\r\nF0 G1 F7\r\n" + Line(100);
  engine.Send(box, &selection, 9);
  std::vector<std::string> progress, errors;
  for (const auto& l : log.lines) {
    if (l.kind == lkStatusOnly) progress.push_back(l.text);
    if (l.text.find("Unexpected") != std::string::npos) errors.push_back(l.text);
  }
  EXPECT_EQ(log.lines.front().text, "Sending selected MIDI out data...");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.front().rfind("Sending line 1", 0), 0u) << progress.front();
  EXPECT_NE(progress.front().find("/12 ("), std::string::npos) << progress.front();
  for (const auto& p : progress) EXPECT_GE(std::stoi(p.substr(13)), 10) << p;  // counted from line 10
  ASSERT_FALSE(errors.empty());
  for (const auto& e : errors) EXPECT_EQ(e.rfind("line 11:", 0), 0u) << e;
  log.lines.clear();
  Send(Line(3000) + "\r\n" + Line(3000));  // two lines: no progress
  for (const auto& l : log.lines) EXPECT_NE(l.kind, lkStatusOnly) << l.text;
}

TEST_F(SendEngine, EmptyBoxIsAnErrorAndNothingStarts) {
  box.Clear();
  engine.Send(box, nullptr, 0);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].text, "There is no data to send in the Midi Out Box.");
  EXPECT_EQ(log.lines[0].kind, lkErrorDialog);
  EXPECT_EQ(sendingChanges, 0);
  Send("; just a comment");
  EXPECT_EQ(log.Texts().back(), "Sent 0 bytes");
}

// The file commands parse into the same buffer between two pieces of a
// line (a save during the send): what goes out is still the line.
TEST_F(SendEngine, TheSendWorksFromItsOwnCopyOfTheLine) {
  settings.SendSpeed = TSendEngine::kNoPacing;
  out.onLong = [&](size_t count) {
    int n = 0;
    std::string other = "F0";
    for (int i = 0; i < 298; ++i) other += " 55";
    if (count == 1) {
      ASSERT_TRUE(parser.ParseHexLine(0, other + " F7", n));
    }
  };
  Send(Line(300));
  std::vector<uint8_t> wire;
  for (const auto& s : out.sent) wire.insert(wire.end(), s.bytes.begin(), s.bytes.end());
  ASSERT_EQ(wire.size(), 300u);
  EXPECT_EQ(std::count(wire.begin(), wire.end(), 0x01), 298);
}

// MIDI thru that arrives while a message is partly out waits for its end:
// inside a SysEx message it would corrupt it, inside a line of running
// status it would change the status of the rest.
TEST_F(SendEngine, ThruWaitsForTheEndOfTheMessageBeingSent) {
  settings.SendSpeed = -1000;  // slow: the window's events come after every piece
  std::string runningStatus = "90";
  for (int i = 0; i < 100; ++i) runningStatus += " 3C 7F";
  const struct {
    const char* name;
    std::string text;
    std::vector<std::string> shapes;  // T: the thru message
    int pauseMs = 0;
  } cases[] = {
      {"SysEx line", Line(300), {"L:128", "L:128", "L:44", "T", "S:3"}},
      {"running status", runningStatus, {"L:128", "L:73", "T", "S:3"}},
      {"SysEx over two lines", "F0" + Line(200, false) + "\r\n" + Line(100, false) + " F7",
       {"L:128", "L:73", "L:101", "T", "S:3"}},
      // Paused after each message: the first message's end is the boundary.
      {"two messages in a line", Line(150) + " " + Line(150), {"L:128", "L:22", "T", "L:128", "L:22", "S:3"}, 100},
  };
  for (const auto& c : cases) {
    out.sent.clear();
    settings.MessagePauseMs = c.pauseMs;
    bool arrived = false;
    onEvents = [&] {
      if (out.sent.size() != 1 || std::exchange(arrived, true)) return;
      engine.Thru().SendShort(0xB0, 0x07, 0x64);
    };
    Send(c.text + "\r\n90 3E 7F");
    std::vector<std::string> shapes;
    for (const auto& s : out.sent)
      shapes.push_back(s.bytes == std::vector<uint8_t>{0xB0, 0x07, 0x64}
                           ? "T"
                           : (s.isShort ? "S:" : "L:") + std::to_string(s.bytes.size()));
    EXPECT_EQ(shapes, c.shapes) << c.name;
  }
  settings.MessagePauseMs = 0;
  // Real-time messages (clock) never wait, also inside a SysEx message.
  out.sent.clear();
  onEvents = [&] {
    if (out.sent.size() == 1) engine.Thru().SendShort(0xF8, 0, 0);
  };
  Send(Line(300));
  ASSERT_GE(out.sent.size(), 3u);
  EXPECT_EQ(out.sent[1].bytes.front(), 0xF8);
  onEvents = nullptr;
  // Outside a send thru goes straight out, a long one as a long message.
  out.sent.clear();
  const uint8_t three[] = {0xF0, 0x01, 0xF7};
  engine.Thru().SendLong(three, 3);
  EXPECT_EQ(out.Shapes(), std::vector<std::string>{"L:3"});
}

// "Sent" means out of the port. Until the port has every message out the
// send goes on (Esc still works); a cancel then drops what is queued and
// says how much went out; a port that is not there is an error.
TEST_F(SendEngine, SentOnlyOnceThePortHasEveryMessageOut) {
  settings.SendSpeed = TSendEngine::kNoPacing;
  out.onLong = [&](size_t) {
    out.pending = 1;
    out.pendingBytes = 100;
  };
  int waits = 0;
  onEvents = [&] {
    if (out.pending && ++waits == 5) {
      EXPECT_TRUE(engine.Sending());
      EXPECT_EQ(log.Texts().back().rfind("Waiting for the MIDI Out port to send the last 100 bytes", 0), 0u);
      out.pending = 0;
    }
  };
  Send(Line(100));
  EXPECT_EQ(waits, 5);
  EXPECT_EQ(log.Texts().back(), "Sent 100 bytes");

  onEvents = [&] {
    if (out.pending) engine.RequestCancel();
  };
  Send(Line(100));
  EXPECT_EQ(out.drops, 1);
  EXPECT_EQ(log.Texts().back(), "Sending cancelled (sent 0 bytes)");

  // The port goes away during the wait, or between two pieces.
  onEvents = [&] { out.open = false; };
  Send(Line(100));
  EXPECT_EQ(log.lines.back().text, "Sending stopped: the MIDI Out port went away after 100 bytes were handed to it.");
  EXPECT_EQ(log.lines.back().kind, lkError);
  out.open = true;
  out.sent.clear();
  onEvents = nullptr;
  out.onLong = [&](size_t) { out.open = false; };
  Send(Line(300));
  EXPECT_EQ(out.sent.size(), 1u);
  EXPECT_EQ(log.lines.back().text, "Sending stopped: the MIDI Out port went away after 128 bytes were handed to it.");

  // No port at all: nothing starts.
  log.lines.clear();
  const int changes = sendingChanges;
  Send(Line(100));
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].text, "Nothing was sent: no MIDI Out port is open.");
  EXPECT_EQ(log.lines[0].kind, lkErrorDialog);
  EXPECT_EQ(sendingChanges, changes);
  EXPECT_FALSE(engine.Sending());
}

// A "wait N" comment pauses the send there; Esc ends the pause.
TEST_F(SendEngine, WaitCommentsPauseTheSendAndEscEndsThem) {
  settings.SendSpeed = TSendEngine::kNoPacing;
  Send("F0 01 F7\r\n; wait 500\r\nF0 02 F7 // wait 300 ms\r\nF0 03 F7");
  ASSERT_EQ(out.sent.size(), 3u);
  EXPECT_GE(out.sent[1].at - out.sent[0].at, 500u);
  EXPECT_LT(out.sent[1].at - out.sent[0].at, 500u + 2 * TSendEngine::kNapMs);
  EXPECT_GE(out.sent[2].at - out.sent[1].at, 300u);
  EXPECT_EQ(log.Texts().back(), "Sent 9 bytes");
  out.sent.clear();
  const uint32_t from = TimeGetTime();
  onEvents = [&] {
    if (TimeGetTime() - from >= 100) engine.RequestCancel();
  };
  Send("F0 01 F7\r\n; wait 60000\r\nF0 02 F7");
  EXPECT_EQ(out.sent.size(), 1u);
  EXPECT_LT(TimeGetTime() - from, 100u + 2 * TSendEngine::kNapMs);
  EXPECT_EQ(log.Texts().back().rfind("Sending cancelled", 0), 0u);
}

// Check before sending: a broken line stops the send before anything goes
// out, with its number; a clean box goes out as always.
TEST_F(SendEngine, CheckBeforeSendingStopsABrokenBoxBeforeItStarts) {
  settings.SendSpeed = TSendEngine::kNoPacing;
  settings.CheckBeforeSending = true;
  Send("F0 41 10 42 12 40 00 7F 00 41 F7\r\n90 3C 7F\r\nF0 41 10 42 12 40 00 7F 00 42 F7");
  EXPECT_TRUE(out.sent.empty());
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(log.lines.back().text,
            "Nothing was sent: line 3: checksum wrong (expected 41, found 42) (Check before sending is on).");
  EXPECT_EQ(log.lines.back().kind, lkErrorDialog);
  Send("F0 41 10 42 12 40 00 7F 00 41 F7\r\n90 3C 7F");
  EXPECT_EQ(out.sent.size(), 2u);
  EXPECT_EQ(log.Texts().back(), "Sent 14 bytes");
}

TEST(SpeedText, BytesAndKilobytes) {
  EXPECT_EQ(SpeedText(3.0517578125), "3125 bytes/s = 3.05 KB/s");
  EXPECT_EQ(KBPerSecond(0, 1000), 0);
  EXPECT_DOUBLE_EQ(KBPerSecond(1000, 2048), 2.0);
}

}  // namespace
}  // namespace kalvex
