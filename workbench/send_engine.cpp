#include "workbench/send_engine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "util/clock.h"
#include "workbench/sysex_info.h"

namespace kalvex {

namespace {

std::string Format(const char* format, long long a, long long b, long long c, const std::string& d = {}) {
  char text[256];
  std::snprintf(text, sizeof text, format, a, b, c, d.c_str());
  return text;
}

}  // namespace

double MsPerByte(int speed) { return std::exp(-2.3 * speed / 1000.0) * 320.0 / 1000.0; }

double KBPerSecond(int64_t ms, double bytes) {
  if (ms < 1) return 0;
  return (bytes / 1024.0) / (static_cast<double>(ms) / 1000.0);
}

std::string SpeedText(double kbPerSecond) {
  char text[96];
  std::snprintf(text, sizeof text, "%d bytes/s = %.2f KB/s", static_cast<int>(std::lround(kbPerSecond * 1024.0)),
                kbPerSecond);
  return text;
}

TSendEngine::TSendEngine(TLogSink& log, THexParser& parser, TSendTarget& target, const TSendSettings& settings,
                         TSendHooks hooks)
    : log_(log), parser_(parser), target_(target), settings_(settings), hooks_(std::move(hooks)) {}

// Naps of 10 ms with the window's events handled, until more than ms passed
// or a cancel came.
void TSendEngine::Wait(int64_t ms) {
  const uint32_t from = TimeGetTime();
  for (;;) {
    const int64_t left = ms + 1 - static_cast<int64_t>(TimeGetTime() - from);
    if (cancel_ || left <= 0) return;
    // The last nap is only as long as what is left of the wait.
    if (hooks_.sleep) hooks_.sleep(static_cast<int>(std::min<int64_t>(kNapMs, left)));
    if (hooks_.processEvents) hooks_.processEvents();
  }
}

// "Sent" means out of the port: a port that queues (a JACK ring, the ALSA
// pool) may still hold the last messages. Waits for them with the window's
// events handled, so Esc still cancels; false when the port went away.
bool TSendEngine::WaitUntilOut() {
  // Thru waits meanwhile: the wait is for the send's own messages, and a
  // cancel drops only those.
  insideMessage_ = true;
  bool told = false;
  while (!cancel_ && target_.PendingMessages() > 0) {
    if (!target_.PortOpen()) return false;
    if (!told) {
      log_.LogLine("Waiting for the MIDI Out port to send the last " + std::to_string(target_.PendingBytes()) +
                       " bytes...",
                   true, true, lkStatusOnly);
      told = true;
    }
    if (hooks_.sleep) hooks_.sleep(kNapMs);
    if (hooks_.processEvents) hooks_.processEvents();
  }
  return target_.PortOpen();
}

// After each short message or piece: where the output stands, and MIDI thru
// that waited for the end of a message goes out once it came.
void TSendEngine::Sent(const uint8_t* data, int length, bool lineDone) {
  for (int i = 0; i < length; ++i) {
    const uint8_t b = data[i];
    if (b == 0xF0)
      inSysEx_ = true;
    else if (b >= 0x80 && b < 0xF8)  // F7 or any status but a real-time one ends it
      inSysEx_ = false;
  }
  // A piece that ends a SysEx message ends a message also inside a line
  // (running status does not reach past it).
  insideMessage_ = inSysEx_ || (!lineDone && (length < 1 || data[length - 1] != 0xF7));
  if (!insideMessage_) thru_.Flush();
}

void TSendEngine::TThruGate::SendShort(uint8_t status, uint8_t data1, uint8_t data2) {
  // Real-time bytes (clock, start, stop) may go inside any message, and
  // must not wait.
  if (engine_.sending_ && engine_.insideMessage_ && status < 0xF8) {
    const int length = std::max(1, MessageLength(status));
    const uint8_t bytes[3] = {status, data1, data2};
    held_.emplace_back(bytes, bytes + std::min(length, 3));
    return;
  }
  if (status < 0xF8) Flush();
  engine_.target_.SendShort(status, data1, data2);
}

void TSendEngine::TThruGate::SendLong(const uint8_t* data, int length) {
  if (engine_.sending_ && engine_.insideMessage_) {
    // A long message of 3 bytes or fewer stays long: marked by a leading 0.
    std::vector<uint8_t> copy{0};
    copy.insert(copy.end(), data, data + length);
    held_.push_back(std::move(copy));
    return;
  }
  Flush();
  engine_.target_.SendLong(data, length);
}

void TSendEngine::TThruGate::Flush() {
  std::vector<std::vector<uint8_t>> held;
  held.swap(held_);
  for (const std::vector<uint8_t>& m : held) {
    if (m.front() == 0)
      engine_.target_.SendLong(m.data() + 1, static_cast<int>(m.size()) - 1);
    else
      engine_.target_.SendShort(m[0], m.size() > 1 ? m[1] : 0, m.size() > 2 ? m[2] : 0);
  }
}

void TSendEngine::Restore() {
  inSysEx_ = false;
  insideMessage_ = false;
  thru_.Flush();
  sending_ = false;
  if (hooks_.sendingChanged) hooks_.sendingChanged(false);
}

void TSendEngine::Send(const TBMStrings& box, const std::string* selection, int selectionLine) {
  if (sending_) {
    cancel_ = true;
    return;
  }
  if (box.Count() == 0) {
    log_.LogLine("There is no data to send in the Midi Out Box.", true, false, lkErrorDialog);
    return;
  }
  if (!target_.PortOpen()) {
    log_.LogLine("Nothing was sent: no MIDI Out port is open.", true, false, lkErrorDialog);
    return;
  }
  if (settings_.CheckBeforeSending) {
    // What would go out, checked first: a broken message never reaches the synth.
    TBMStrings checked;
    if (selection) checked.SetText(*selection);
    const auto problems = CheckMessages(BoxLineBytes(selection ? checked : box, parser_), selection ? selectionLine + 1 : 1);
    if (!problems.empty()) {
      log_.LogLine("Nothing was sent: line " + std::to_string(problems.front().line) + ": " + problems.front().text +
                       " (Check before sending is on).",
                   true, false, lkErrorDialog);
      return;
    }
  }
  cancel_ = false;
  inSysEx_ = false;
  insideMessage_ = false;
  sending_ = true;
  if (hooks_.sendingChanged) hooks_.sendingChanged(true);

  // A selection is a copy: the box may change while the send runs.
  TBMStrings selected;
  const TBMStrings* source = &box;
  int base = 0;
  if (selection) {
    selected.SetText(*selection);
    source = &selected;
    base = selectionLine;
    log_.LogLine("Sending selected MIDI out data...", true, true, lkNormal);
  } else {
    log_.LogLine("Sending MIDI out data...", true, true, lkNormal);
  }

  uint32_t periodStart = TimeGetTime();
  uint32_t rateTime = periodStart;
  long long rateTotal = 0;
  double rate = 0;
  long long total = 0, periodBytes = 0;
  double msPerByte = 1.0;
  int speedInUse = 2000;  // no setting has it: the period is computed at once
  bool pacedBefore = true;
  const bool progress = source->Count() > 2;
  int index = 0;
  int remaining = 0, offset = 0;
  uint32_t lastEvents = TimeGetTime();
  uint32_t progressTime = periodStart;
  int piecesSinceEvents = 0;
  bool portGone = false;
  long long notSent = 0;
  // A "wait N" comment pauses the send after its line's bytes; pacing starts
  // afresh after it, as after the pause between messages.
  int lineWaitMs = -1;
  auto waitAfterLine = [&] {
    if (lineWaitMs <= 0 || cancel_) return;
    log_.LogLine("Waiting " + std::to_string(lineWaitMs) + " ms (line " + std::to_string(base + index + 1) + ")...",
                 true, true, lkStatusOnly);
    Wait(lineWaitMs - 1);
    periodBytes = 0;
    periodStart = TimeGetTime();
  };
  try {
    while (!(index >= source->Count() && remaining == 0) && !cancel_) {
      if (!target_.PortOpen()) {
        portGone = true;
        break;
      }
      if (settings_.SendSpeed != speedInUse) {
        speedInUse = settings_.SendSpeed;
        periodBytes = 0;
        periodStart = TimeGetTime();
        msPerByte = MsPerByte(speedInUse);
      }
      if (remaining == 0) {
        int count = 0;
        lineWaitMs = index < source->Count() ? WaitCommentMs(source->Get(index)) : -1;
        if (index < source->Count() &&
            parser_.ParseHexLine(base + index, TrimLine(source->Get(index)), count)) {
          // The send's own copy: the parse buffer is shared with the file
          // commands, which may run between two pieces.
          // Short messages are read as three bytes: the unused ones are 0.
          line_.assign(parser_.Data(), parser_.Data() + count);
          if (line_.size() < 3) line_.resize(3, 0);
          remaining = count;
          offset = 0;
        }
      }
      if (remaining == 0) {
        waitAfterLine();
        ++index;
        continue;
      }
      int piece = remaining;
      const uint8_t* buffer = line_.data();
      // Progress at most every 100 ms: a status line per piece would cost a
      // text layout for each of thousands of pieces a second.
      if (progress && TimeGetTime() - rateTime > static_cast<uint32_t>(kProgressMs) &&
          TimeGetTime() - progressTime > static_cast<uint32_t>(kProgressMs)) {
        const uint32_t now = TimeGetTime();
        progressTime = now;
        if (now - rateTime > static_cast<uint32_t>(kRateSampleMs)) {
          rate = KBPerSecond(now - rateTime, static_cast<double>(total - rateTotal));
          rateTime = now;
          rateTotal = total;
        }
        const std::string text =
            rate > 0 ? Format("Sending line %lld/%lld (%lld bytes sent at %s)", base + index + 1,
                              source->Count() + base, total, SpeedText(rate))
                     : Format("Sending line %lld/%lld (%lld bytes sent)", base + index + 1, source->Count() + base, total);
        log_.LogLine(text, true, true, lkStatusOnly);
      }
      bool endsMessage = false;
      if (piece <= 3 && offset == 0 && MessageLength(buffer[0]) == piece && buffer[1] < 0x80 && buffer[2] < 0x80) {
        target_.SendShort(buffer[0], buffer[1], buffer[2]);
      } else {
        if (settings_.SplitSending && piece > kPieceBytes) piece = kPieceBytes;
        if (settings_.MessagePauseMs > 0) {
          // A pause goes after each complete SysEx message, also inside a line.
          for (int i = 0; i < piece; ++i)
            if (buffer[offset + i] == 0xF7) {
              piece = i + 1;
              endsMessage = true;
              break;
            }
        }
        target_.SendLong(buffer + offset, piece);
      }
      total += piece;
      periodBytes += piece;
      offset += piece;
      remaining -= piece;
      Sent(buffer + offset - piece, piece, remaining == 0);
      int64_t wait = 0;
      const bool paced = settings_.SendSpeed != kNoPacing && settings_.ThrottlingActive;
      if (!paced) {
        periodBytes = 0;
      } else if (!pacedBefore) {
        // Pacing switched on again: the period starts with this piece, so
        // the unpaced time does not count as lead (no burst as long as it).
        periodBytes = piece;
        periodStart = TimeGetTime();
      }
      pacedBefore = paced;
      if (paced)
        wait = static_cast<int64_t>(std::trunc(static_cast<double>(periodBytes) * msPerByte)) -
               static_cast<int64_t>(TimeGetTime() - periodStart);
      if (wait > kLeadMs) {
        Wait(wait);
        lastEvents = TimeGetTime();
        piecesSinceEvents = 0;
      } else if (hooks_.processEvents &&
                 (++piecesSinceEvents >= kPiecesPerEvents || TimeGetTime() != lastEvents)) {
        // Events are handled between pieces, but at most once a millisecond
        // when pieces go out faster: a handful of 128-byte pieces cost less
        // than one look at the event queue.
        hooks_.processEvents();
        lastEvents = TimeGetTime();
        piecesSinceEvents = 0;
      }
      if (endsMessage && !cancel_) {
        Wait(settings_.MessagePauseMs - 1);
        // The pause is no lead to catch up on: pacing starts afresh after it.
        periodBytes = 0;
        periodStart = TimeGetTime();
      }
      if (remaining == 0) {
        waitAfterLine();
        ++index;
      }
    }
    if (!portGone && !cancel_) portGone = !WaitUntilOut();
    if (cancel_ && !portGone && target_.PendingMessages() > 0) {
      notSent = std::min<long long>(total, target_.PendingBytes());
      target_.DropPending();
    }
  } catch (...) {
    Restore();
    throw;
  }
  if (portGone)
    log_.LogLine("Sending stopped: the MIDI Out port went away after " + std::to_string(total) +
                     " bytes were handed to it.",
                 true, false, lkError);
  else if (cancel_)
    log_.LogLine("Sending cancelled (sent " + std::to_string(total - notSent) + " bytes)", true, false, lkNormal);
  else
    log_.LogLine("Sent " + std::to_string(total) + " bytes", true, false, lkNormal);
  Restore();
}

}  // namespace kalvex
