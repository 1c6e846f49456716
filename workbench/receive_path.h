#pragma once
// What the window does with each message that arrives at the MIDI input:
// echo it to the output (MIDI thru, before any filter), show it in the MIDI
// In box, or, when SysEx comes fast and in quantity (8 messages or 500 bytes
// within 1.5 s), hold it as a bulk dump: only a panel counts bytes and rate
// until the input has been quiet for a second, then everything shows at once.
// Plain C++ on the window thread; the clock is the program's (injectable).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "editor/core/bm_strings.h"
#include "midi/midi_device_base.h"
#include "workbench/log_sink.h"
#include "workbench/send_engine.h"

namespace kalvex {

struct TReceiveOptions {
  bool MidiThru = false;
  bool DetectBulkDumps = true;
  bool SysExOnly = false;   // short messages are echoed but not shown
  int SplitThreshold = -1;  // bytes per line, -1 for none
  bool DescribeMessages = false;  // a comment after each whole SysEx message
};

// The window's side: the box's view and the bulk dump panel and timer.
class TReceiveView {
public:
  virtual ~TReceiveView() = default;
  virtual void ScrollInToEndLater() = 0;
  virtual void ScrollInToEnd() = 0;
  // The panel (placed and shown when hidden) with its two texts.
  virtual void ShowBulkPanel(const std::string& bytesText, const std::string& speedText) = 0;
  virtual void HideBulkPanel() = 0;
  // Paints the panel's texts now: the work that follows holds the window up.
  virtual void RepaintBulkPanel() {}
  virtual bool BulkPanelVisible() const = 0;
  virtual void SetBulkTimer(bool on) = 0;  // 1000 ms ticks; on while on keeps its period
};

class TReceivePath {
public:
  static constexpr uint32_t kBurstWindowMs = 1500;
  static constexpr int kBulkMessages = 8;
  static constexpr int kBulkBytes = 500;
  static constexpr uint32_t kQuietMs = 1000;
  static constexpr uint32_t kRateSampleMs = 800;

  TReceivePath(TBMStrings& inBox, TLogSink& log, TReceiveView& view, const TReceiveOptions& options,
               TSendTarget* thru);

  // Reads and handles events until none is pending; an error while handling
  // one is logged and the next one follows.
  void Drain(const std::function<std::unique_ptr<TMyMidiEvent>()>& readEvent);
  void Handle(std::unique_ptr<TMyMidiEvent> event);
  // Hears every SysEx message as it arrives, before any filter or bulk
  // dump holds it (the window's "Identify device" listens here).
  std::function<void(const uint8_t* data, int length)> OnSysEx;
  // The bulk timer's tick: renders the dump once the input was quiet for 1 s.
  void TimerTick();
  // The input dropped messages (its buffer was full): never in silence.
  void ReportOverflow();
  // The user emptied the box: a burst window in progress starts afresh, so
  // what was cleared does not come back with a bulk dump, and what came
  // after the clear is not shown twice.
  void BoxCleared();
  // The sender sent bytes that belong to no message (not a speed problem).
  void ReportMalformed();
  // Records the window's input keeps between two drains: a fast virtual
  // port can deliver many thousands while the window is busy.
  static constexpr int kInputRecords = 65536;

  bool BulkActive() const { return bulkActive_; }
  int BurstBytes() const { return burstBytes_; }
  size_t HeldEvents() const { return bulk_.size(); }

private:
  void HandleSysEx(std::unique_ptr<TMyMidiEvent> event);
  void OpenWindow(uint32_t now);
  void AppendEvent(const TMyMidiEvent& event);
  void ShowProgress();

  TBMStrings& box_;
  TLogSink& log_;
  TReceiveView& view_;
  const TReceiveOptions& options_;
  TSendTarget* thru_;
  std::vector<std::unique_ptr<TMyMidiEvent>> bulk_;
  bool bulkActive_ = false;
  uint32_t lastSysExTime_ = 0;
  uint32_t burstStart_ = 0;
  int burstBytes_ = 0;
  int burstFirstLine_ = 0;
  uint32_t rateTime_ = 0;
  int rateBytes_ = 0;
  double rate_ = 0;
};

}  // namespace kalvex
