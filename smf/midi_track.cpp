#include "smf/midi_track.h"

#include <cstring>
#include <new>

namespace kalvex {

namespace {

// Reads from a chunk without ever passing its end.
class TChunkReader {
public:
  TChunkReader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

  size_t Remaining() const { return static_cast<size_t>(end_ - p_); }
  bool Byte(uint8_t& b) {
    if (p_ == end_) return false;
    b = *p_++;
    return true;
  }
  void Back() { --p_; }
  // A variable-length quantity of at most 4 bytes (28 bits).
  bool VarLen(uint32_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
      uint8_t b;
      if (!Byte(b)) return false;
      value = (value << 7) | (b & 0x7F);
      if (b < 0x80) break;
    }
    return true;
  }
  bool Copy(uint8_t* dest, size_t n) {
    if (n > Remaining()) return false;
    std::memcpy(dest, p_, n);
    p_ += n;
    return true;
  }

private:
  const uint8_t* p_;
  const uint8_t* end_;
};

enum class TDecodeResult { kEvent, kNone };

// Decodes one event; kNone for an End-of-Track without data or for anything
// that runs past the end of the chunk.
TDecodeResult DecodeEvent(TChunkReader& in, uint8_t& runningStatus, TMidiEvent& ev) {
  if (!in.VarLen(ev.Time)) return TDecodeResult::kNone;
  uint8_t s;
  if (!in.Byte(s)) return TDecodeResult::kNone;
  if (s < 0x80) {
    in.Back();
    s = runningStatus;
  } else if (s < 0xF0) {
    runningStatus = s;
  }
  ev.Status = s;
  if (s < 0xF0) {
    if (!in.Byte(ev.Data1)) return TDecodeResult::kNone;
    const uint8_t kind = s & 0xF0;
    if (kind != 0xC0 && kind != 0xD0 && !in.Byte(ev.Data2)) return TDecodeResult::kNone;
    return TDecodeResult::kEvent;
  }
  uint32_t n;
  if (s == TMidiEvent::kMetaStatus) {
    if (!in.Byte(ev.Data1) || !in.VarLen(n)) return TDecodeResult::kNone;
    if (n == 0) {
      return ev.Data1 == TMidiEvent::kMetaEndOfTrack ? TDecodeResult::kNone : TDecodeResult::kEvent;
    }
    if (n > in.Remaining()) return TDecodeResult::kNone;  // checked before allocating
    ev.Data.reset(new (std::nothrow) uint8_t[n]);
    if (!ev.Data) return TDecodeResult::kNone;
    in.Copy(ev.Data.get(), n);
    ev.Length = static_cast<int32_t>(n);
    return TDecodeResult::kEvent;
  }
  // SysEx (0xF0) and escape (0xF7) events keep their status byte in front.
  if (!in.VarLen(n) || n > in.Remaining()) return TDecodeResult::kNone;
  ev.Data.reset(new (std::nothrow) uint8_t[n + 1]);
  if (!ev.Data) return TDecodeResult::kNone;
  ev.Data[0] = s;
  in.Copy(ev.Data.get() + 1, n);
  ev.Length = static_cast<int32_t>(n + 1);
  return TDecodeResult::kEvent;
}

}  // namespace

TMidiTrack::TMidiTrack() {
  TMidiEvent eot;
  eot.Status = TMidiEvent::kMetaStatus;
  eot.Data1 = TMidiEvent::kMetaEndOfTrack;
  events_.Add(std::move(eot));
}

void TMidiTrack::Decode(const uint8_t* data, size_t size) {
  if (size < 4) return;
  // End of Track is taken off, the events are appended (their delta times
  // made absolute), and it goes back on with the time of the last one.
  TMidiEvent eot = std::move(*events_.Items(events_.Count() - 1));
  events_.RemoveLast();
  uint32_t lastTime = events_.Count() > 0 ? events_.Items(events_.Count() - 1)->Time : 0;
  TChunkReader in(data, size);
  // An event needs at least 4 bytes before the chunk end to start.
  while (in.Remaining() > 3) {
    TMidiEvent ev;
    if (DecodeEvent(in, RunningStatus, ev) != TDecodeResult::kEvent) break;
    ev.Time += lastTime;  // delta -> absolute (0 before the first event)
    eot.Time = ev.Time;
    if (ev.IsEndOfTrack()) break;  // one that carries data
    lastTime = ev.Time;
    try {
      events_.Add(std::move(ev));
    } catch (const std::bad_alloc&) {
      break;  // the track keeps what it has
    }
  }
  events_.Add(std::move(eot));  // when even this fails, loading fails with the memory error
}

}  // namespace kalvex
