#include "workbench/receive_path.h"

#include "workbench/sysex_info.h"

#include <cstdio>
#include <exception>

#include "util/clock.h"
#include "workbench/hex_text.h"

namespace kalvex {

TReceivePath::TReceivePath(TBMStrings& inBox, TLogSink& log, TReceiveView& view, const TReceiveOptions& options,
                           TSendTarget* thru)
    : box_(inBox), log_(log), view_(view), options_(options), thru_(thru) {}

void TReceivePath::Drain(const std::function<std::unique_ptr<TMyMidiEvent>()>& readEvent) {
  while (auto event = readEvent()) {
    try {
      Handle(std::move(event));
    } catch (const std::exception& e) {
      log_.LogLine(e.what(), false, false, lkError);
    }
  }
}

void TReceivePath::Handle(std::unique_ptr<TMyMidiEvent> event) {
  // Thru before any filter: SysExOnly does not hold it back.
  if (options_.MidiThru && thru_) {
    if (event->SysExLength > 0)
      thru_->SendLong(event->SysExData.get(), event->SysExLength);
    else
      thru_->SendShort(event->Status, event->Data1, event->Data2);
  }
  if (event->SysExLength > 0) {
    if (OnSysEx) OnSysEx(event->SysExData.get(), event->SysExLength);
    HandleSysEx(std::move(event));
    return;
  }
  if (options_.SysExOnly) return;
  const std::string text = ShortMessageText(event->Status, event->Data1, event->Data2);
  TBMUpdateGuard update(box_);
  view_.ScrollInToEndLater();
  if (!text.empty()) box_.Add(text);
}

void TReceivePath::OpenWindow(uint32_t now) {
  burstStart_ = now;
  bulkActive_ = false;
  bulk_.clear();
  burstBytes_ = 0;
  burstFirstLine_ = box_.Count();
  rateTime_ = now;
  rateBytes_ = 0;
  rate_ = 0;
}

void TReceivePath::AppendEvent(const TMyMidiEvent& event) {
  const uint8_t* data = event.SysExData.get();
  const size_t length = static_cast<size_t>(event.SysExLength);
  const bool describe = options_.DescribeMessages && length >= 2 && data[0] == 0xF0 && data[length - 1] == 0xF7;
  if (!describe) {
    AppendBytesAsLines(data, length, options_.SplitThreshold, [this](std::string&& line) { box_.Add(std::move(line)); });
    return;
  }
  // A comment on the message's last line (saving as .syx leaves it out),
  // added before the line goes into the box: no line is copied for it.
  std::vector<std::string> lines;
  AppendBytesAsLines(data, length, options_.SplitThreshold, [&](std::string&& line) { lines.push_back(std::move(line)); });
  const std::string about = DescribeMessage(std::span<const uint8_t>(data, length));
  if (!about.empty() && !lines.empty()) lines.back() += " ; " + about;
  for (std::string& line : lines) box_.Add(std::move(line));
}

void TReceivePath::HandleSysEx(std::unique_ptr<TMyMidiEvent> event) {
  const uint32_t now = TimeGetTime();
  lastSysExTime_ = now;
  const bool detect = options_.DetectBulkDumps;
  if (detect) {
    if (!bulkActive_) {
      if (now < burstStart_ || now - burstStart_ > kBurstWindowMs) {
        OpenWindow(now);
      } else if (static_cast<int>(bulk_.size()) >= kBulkMessages || burstBytes_ >= kBulkBytes) {
        // A bulk dump: what this window showed goes, and shows again at its end.
        bulkActive_ = true;
        log_.LogLine("", false, true, lkStatusOnly);
        TBMUpdateGuard update(box_);
        if (burstFirstLine_ == 0) {
          box_.Clear();
        } else {
          for (int line = box_.Count() - 1; line >= burstFirstLine_; --line) box_.Delete(line);
        }
      }
    }
    burstBytes_ += event->SysExLength;
  }
  if (bulkActive_) {
    view_.SetBulkTimer(true);
    bulk_.push_back(std::move(event));
    ShowProgress();
    return;
  }
  {
    TBMUpdateGuard update(box_);
    view_.ScrollInToEndLater();
    AppendEvent(*event);
  }
  log_.LogLine("Received " + std::to_string(event->SysExLength) + " bytes succesfully.", false, false, lkNormal);
  if (detect) bulk_.push_back(std::move(event));
}

void TReceivePath::ShowProgress() {
  char bytes[64];
  std::snprintf(bytes, sizeof bytes, "Received %d bytes...", burstBytes_);
  const uint32_t now = TimeGetTime();
  if (now - rateTime_ > kRateSampleMs) {
    rate_ = KBPerSecond(now - rateTime_, static_cast<double>(burstBytes_ - rateBytes_));
    rateTime_ = now;
    rateBytes_ = burstBytes_;
  }
  view_.ShowBulkPanel(bytes, rate_ > 0 ? "at " + SpeedText(rate_) : std::string());
}

void TReceivePath::BoxCleared() {
  if (!bulkActive_) OpenWindow(TimeGetTime());
}

void TReceivePath::ReportOverflow() {
  log_.LogLine("MIDI In could not keep up: messages were lost.", false, false, lkError);
}

void TReceivePath::ReportMalformed() {
  log_.LogLine("MIDI In received bytes that belong to no message; they were skipped.", false, false, lkError);
}

void TReceivePath::TimerTick() {
  const uint32_t now = TimeGetTime();
  if (now - lastSysExTime_ < kQuietMs) return;
  view_.SetBulkTimer(false);
  if (view_.BulkPanelVisible()) {
    view_.ShowBulkPanel("Displaying bulk dump data...", "");
    view_.RepaintBulkPanel();
  }
  int total = 0;
  {
    TBMUpdateGuard update(box_);
    for (auto& event : bulk_) AppendEvent(*event);
    bulk_.clear();
    bulkActive_ = false;
    total = burstBytes_;
    burstBytes_ = 0;
    burstFirstLine_ = box_.Count();
  }
  view_.ScrollInToEnd();
  const double rate = KBPerSecond(lastSysExTime_ - burstStart_, static_cast<double>(total));
  char text[160];
  std::snprintf(text, sizeof text, "Received %d bytes of bulk dump (at %s)", total, SpeedText(rate).c_str());
  log_.LogLine(text, false, false, lkNormal);
  view_.HideBulkPanel();
}

}  // namespace kalvex
