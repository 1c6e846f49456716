#pragma once
// Sends the MIDI Out box, or its selection, line by line: a line that is one
// well-formed message of 1 to 3 bytes as a short message, anything else as
// a long buffer (in pieces of 128 bytes with split sending), paced to a
// fraction or multiple of the MIDI wire rate, with progress and cancel. It
// knows no widget: the window hands it the lines, the output, and a hook
// that handles pending window events between pieces (so receiving, a second
// click and Esc stay alive without a worker thread).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "editor/core/bm_strings.h"
#include "midi/midi_output.h"
#include "workbench/hex_text.h"
#include "workbench/log_sink.h"

namespace kalvex {

// Where the bytes go: the MIDI Out menu's output, or a fake in tests. The
// send results are not looked at one by one; the port's state is, for the
// send's last line: "Sent" only once every message is out of the port.
class TSendTarget {
public:
  virtual ~TSendTarget() = default;
  virtual void SendShort(uint8_t status, uint8_t data1, uint8_t data2) = 0;
  virtual void SendLong(const uint8_t* data, int length) = 0;
  // False with no port, or one that went away.
  virtual bool PortOpen() const { return true; }
  // Long messages handed over and not out yet, and their bytes.
  virtual int PendingMessages() const { return 0; }
  virtual int64_t PendingBytes() const { return 0; }
  // Drops what is still queued (a cancel while the last messages go out).
  virtual void DropPending() {}
};

// The MIDI Out device as the target: what it is handed goes out when the
// device is open, and the port's state is the device's.
class TMidiOutTarget : public TSendTarget {
public:
  explicit TMidiOutTarget(TMidiOutput& out) : out_(out) {}
  void SendShort(uint8_t status, uint8_t data1, uint8_t data2) override {
    if (out_.IsOpen()) out_.SendShort(status, data1, data2);
  }
  void SendLong(const uint8_t* data, int length) override {
    if (out_.IsOpen()) out_.SendLong(data, length);
  }
  bool PortOpen() const override { return out_.IsOpen() && !out_.DriverClosed(); }
  int PendingMessages() const override { return out_.PendingLongCount(); }
  int64_t PendingBytes() const override { return out_.PendingLongBytes(); }
  void DropPending() override { out_.Reset(); }

protected:
  TMidiOutput& out_;
};

// About a third of the wire rate: what suits most older instruments.
inline constexpr int kDefaultSendSpeed = -500;

// The settings a send reads; SendSpeed is read again before every piece (the
// settings dialog may change it while a send runs).
struct TSendSettings {
  int SendSpeed = kDefaultSendSpeed;  // -1000..1000; 0 is the wire rate, 1000 no pacing
  bool ThrottlingActive = true;
  bool SplitSending = true;
  int MessagePauseMs = 0;        // after each complete SysEx message; 0 is off
  bool CheckBeforeSending = false;  // a malformed line or wrong checksum stops the send before it starts
};

struct TSendHooks {
  std::function<void()> processEvents;            // handles pending window events once
  std::function<void(int ms)> sleep;              // naps (tests move the manual clock)
  std::function<void(bool sending)> sendingChanged;  // caption, cursor, Clear buttons
};

// Pacing: milliseconds per byte at a speed (0: 0.32 ms, the wire rate).
double MsPerByte(int speed);
// (bytes / 1024) / (ms / 1000); 0 below 1 ms.
double KBPerSecond(int64_t ms, double bytes);
// "%d bytes/s = %.2f KB/s".
std::string SpeedText(double kbPerSecond);

class TSendEngine {
public:
  static constexpr int kPieceBytes = 128;
  static constexpr int kLeadMs = 50;        // waits only with more lead than this
  static constexpr int kNapMs = 10;
  static constexpr int kProgressMs = 100;
  static constexpr int kRateSampleMs = 800;
  static constexpr int kNoPacing = 1000;
  static constexpr int kPiecesPerEvents = 64;  // the window's events at least this often

  TSendEngine(TLogSink& log, THexParser& parser, TSendTarget& target, const TSendSettings& settings,
              TSendHooks hooks);

  bool Sending() const { return sending_; }
  bool CancelRequested() const { return cancel_; }
  // Esc, or a second click: the running send stops before its next piece
  // (within a nap during a wait).
  void RequestCancel() {
    if (sending_) cancel_ = true;
  }

  // MIDI thru goes out through here. While a send is inside a message
  // (between the pieces of a SysEx message or of a line), what comes
  // through waits until that message is complete, so it never lands inside
  // it nor changes its running status.
  TSendTarget& Thru() { return thru_; }

  // The Send click. box: the MIDI Out box, read line by line as the send
  // reaches them; selection: the selected text and the line it starts on, or
  // nullptr. A click while a send runs only cancels it.
  void Send(const TBMStrings& box, const std::string* selection, int selectionLine);

private:
  class TThruGate final : public TSendTarget {
  public:
    explicit TThruGate(TSendEngine& engine) : engine_(engine) {}
    void SendShort(uint8_t status, uint8_t data1, uint8_t data2) override;
    void SendLong(const uint8_t* data, int length) override;
    void Flush();

  private:
    TSendEngine& engine_;
    std::vector<std::vector<uint8_t>> held_;  // 1 to 3 bytes: a short message
  };

  void Wait(int64_t ms);
  bool WaitUntilOut();
  void Restore();
  void Sent(const uint8_t* data, int length, bool lineDone);

  TLogSink& log_;
  THexParser& parser_;
  TSendTarget& target_;
  const TSendSettings& settings_;
  TSendHooks hooks_;
  bool sending_ = false;
  bool cancel_ = false;
  bool inSysEx_ = false;         // the bytes out so far end inside a SysEx message
  bool insideMessage_ = false;   // ... or inside a line
  std::vector<uint8_t> line_;    // the line being sent: the send's own copy
  TThruGate thru_{*this};
};

}  // namespace kalvex
