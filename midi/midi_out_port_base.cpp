#include "midi/midi_out_port_base.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "midi/midi_event_split.h"
#include "util/midi_message.h"

namespace kalvex {

uint32_t TMidiOutPortCore::PrepareHeader(TMidiHdr* hdr) {
  if (!hdr || !hdr->Data || hdr->BufferLength == 0) return kMidiErrInvalidParam;
  hdr->Flags |= kMhdrPrepared;
  return kMidiNoError;
}

uint32_t TMidiOutPortCore::UnprepareHeader(TMidiHdr* hdr) {
  if (!hdr) return kMidiErrInvalidParam;
  if (hdr->Flags & kMhdrInQueue) return kMidiErrStillPlaying;
  hdr->Flags &= ~kMhdrPrepared;
  return kMidiNoError;
}

uint32_t TMidiOutPortCore::TakeHeader(TMidiHdr* hdr) {
  if (closed_) return kMidiErrInvalidHandle;
  if (!hdr || !(hdr->Flags & kMhdrPrepared)) return kMidiErrUnprepared;
  if (hdr->Flags & kMhdrInQueue) return kMidiErrStillPlaying;
  hdr->Flags = (hdr->Flags & ~kMhdrDone) | kMhdrInQueue;
  return kMidiNoError;
}

void TMidiOutPortCore::Done(TMidiHdr* hdr) {
  hdr->Flags = (hdr->Flags & ~kMhdrInQueue) | kMhdrDone;
  if (callback_) callback_(this, MOM_DONE, instance_, reinterpret_cast<uintptr_t>(hdr), 0);
}

void TMidiOutPortCore::DeviceGone() {
  if (gone_.exchange(true)) return;
  if (callback_) callback_(this, MOM_CLOSE, instance_, 0, 0);
}

TMidiOutPortBase::TMidiOutPortBase(TMidiCallback callback, uintptr_t instance)
    : TMidiOutPortCore(callback, instance) {}

TMidiOutPortBase::~TMidiOutPortBase() = default;

// New sends are refused at once; what was queued before goes out first, so a
// message sent just before closing is neither cut nor lost.
uint32_t TMidiOutPortBase::Close() {
  if (!MarkClosed()) return kMidiNoError;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseDrainMs);
  while (!Gone() && HasUndelivered() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Reset();
  Detach();
  return kMidiNoError;
}

uint32_t TMidiOutPortBase::Queue(const TPending& item) {
  if (Closed()) return kMidiErrInvalidHandle;
  if (Gone()) return kMidiErrNoDevice;
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(item);
  }
  Wake();
  return kMidiNoError;
}

uint32_t TMidiOutPortBase::ShortMsg(uint32_t packed) {
  TPending p;
  p.bytes[0] = uint8_t(packed);
  p.bytes[1] = uint8_t(packed >> 8);
  p.bytes[2] = uint8_t(packed >> 16);
  // Only as many bytes as the status byte asks for: the rest of the word is padding.
  p.size = static_cast<size_t>(std::clamp(MessageLength(p.bytes[0]), 1, 3));
  return Queue(p);
}

uint32_t TMidiOutPortBase::LongMsg(TMidiHdr* hdr) {
  if (const uint32_t refused = TakeHeader(hdr); refused != kMidiNoError) return refused;
  TPending p;
  p.hdr = hdr;
  p.size = hdr->BufferLength;
  const uint32_t result = Queue(p);
  if (result != kMidiNoError) ReturnHeader(hdr);
  return result;
}

uint32_t TMidiOutPortBase::Reset() {
  std::deque<TPending> taken;
  std::deque<TOnWire> onWire;
  {
    std::lock_guard lock(mutex_);
    taken.swap(pending_);
    onWire.swap(onWire_);
    inSysEx_ = false;
  }
  for (auto& w : onWire) Done(w.hdr);
  for (auto& p : taken)
    if (p.hdr) Done(p.hdr);
  return kMidiNoError;
}

bool TMidiOutPortBase::HasPending() {
  std::lock_guard lock(mutex_);
  return !pending_.empty() || !onWire_.empty();
}

bool TMidiOutPortBase::HasQueued() {
  std::lock_guard lock(mutex_);
  return !pending_.empty();
}

bool TMidiOutPortBase::HasUndelivered() {
  std::lock_guard lock(mutex_);
  return !pending_.empty() || !onWire_.empty() || DeliveredBytes(written_) < written_;
}

uint32_t TMidiOutPortBase::MsUntilPacerReady() {
  std::lock_guard lock(mutex_);
  if (!pacer_) return kNoWait;
  uint32_t wait = kNoWait;
  if (!pending_.empty() && blockedEventBytes_ > 0) wait = pacer_->MsUntilFits(blockedEventBytes_);
  if (!onWire_.empty() && onWire_.front().lastByte > pacer_->Drained())
    wait = std::min(wait, pacer_->MsUntilDrained(onWire_.front().lastByte));
  return wait;
}

void TMidiOutPortBase::Pump(size_t maxEventBytes, const TWriter& write) {
  std::vector<TMidiHdr*> done;
  {
    std::lock_guard lock(mutex_);
    blockedEventBytes_ = 0;
    while (!pending_.empty()) {
      TPending& p = pending_.front();
      const uint8_t* data = p.hdr ? p.hdr->Data : p.bytes;
      bool full = false;
      while (p.offset < p.size) {
        bool inSysEx = inSysEx_;
        size_t n = NextEventLength(data + p.offset, p.size - p.offset, maxEventBytes, inSysEx);
        const uint8_t first = data[p.offset];
        const uint8_t* event = data + p.offset;
        size_t eventBytes = n;
        uint8_t withStatus[3];
        if (!inSysEx_ && first < 0x80 && p.runningStatus != 0) {
          // Running status: a further message of the last channel status.
          n = std::min(n, static_cast<size_t>(MessageLength(p.runningStatus) - 1));
          withStatus[0] = p.runningStatus;
          std::memcpy(withStatus + 1, event, n);
          event = withStatus;
          eventBytes = n + 1;
        }
        if (pacer_ && !pacer_->Fits(eventBytes)) {
          blockedEventBytes_ = eventBytes;
          full = true;
          break;
        }
        if (!write(event, eventBytes, IsSysExPiece(first, inSysEx_))) {
          full = true;
          break;
        }
        if (pacer_) pacer_->Wrote(eventBytes);
        written_ += eventBytes;
        if (first >= 0x80 && first < 0xF0)
          p.runningStatus = first;
        else if (first >= 0xF0 && first < 0xF8)
          p.runningStatus = 0;  // system common messages end running status
        p.offset += n;
        inSysEx_ = inSysEx;
      }
      if (full) break;
      if (p.hdr) onWire_.push_back({p.hdr, pacer_ ? pacer_->Written() : 0, written_});
      pending_.pop_front();
    }
    const uint64_t delivered = DeliveredBytes(written_);
    while (!onWire_.empty() && onWire_.front().lastWritten <= delivered &&
           (!pacer_ || onWire_.front().lastByte <= pacer_->Drained())) {
      done.push_back(onWire_.front().hdr);
      onWire_.pop_front();
    }
  }
  for (TMidiHdr* hdr : done) Done(hdr);
}


}  // namespace kalvex
