#include "midi/midi_out_port_base.h"

#include <algorithm>
#include <vector>

#include "midi/midi_event_split.h"
#include "workbench/hex_text.h"

namespace kalvex {

TMidiOutPortBase::TMidiOutPortBase(TMidiCallback callback, uintptr_t instance)
    : callback_(callback), instance_(instance) {}

TMidiOutPortBase::~TMidiOutPortBase() = default;

uint32_t TMidiOutPortBase::Close() {
  if (closed_.exchange(true)) return kMidiNoError;
  Reset();
  Detach();
  return kMidiNoError;
}

uint32_t TMidiOutPortBase::GetID() { return closed_ ? kMidiErrInvalidHandle : kMidiNoError; }

uint32_t TMidiOutPortBase::Queue(const TPending& item) {
  if (closed_) return kMidiErrInvalidHandle;
  if (gone_) return kMidiErrNoDevice;
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

uint32_t TMidiOutPortBase::PrepareHeader(TMidiHdr* hdr) {
  if (!hdr || !hdr->Data || hdr->BufferLength == 0) return kMidiErrInvalidParam;
  hdr->Flags |= kMhdrPrepared;
  return kMidiNoError;
}

uint32_t TMidiOutPortBase::UnprepareHeader(TMidiHdr* hdr) {
  if (!hdr) return kMidiErrInvalidParam;
  if (hdr->Flags & kMhdrInQueue) return kMidiErrStillPlaying;
  hdr->Flags &= ~kMhdrPrepared;
  return kMidiNoError;
}

uint32_t TMidiOutPortBase::LongMsg(TMidiHdr* hdr) {
  if (!hdr || !(hdr->Flags & kMhdrPrepared)) return kMidiErrUnprepared;
  if (hdr->Flags & kMhdrInQueue) return kMidiErrStillPlaying;
  hdr->Flags = (hdr->Flags & ~kMhdrDone) | kMhdrInQueue;
  TPending p;
  p.hdr = hdr;
  p.size = hdr->BufferLength;
  const uint32_t result = Queue(p);
  if (result != kMidiNoError) hdr->Flags &= ~kMhdrInQueue;
  return result;
}

uint32_t TMidiOutPortBase::Reset() {
  std::deque<TPending> taken;
  {
    std::lock_guard lock(mutex_);
    taken.swap(pending_);
    inSysEx_ = false;
  }
  for (auto& p : taken)
    if (p.hdr) Done(p.hdr);
  return kMidiNoError;
}

bool TMidiOutPortBase::HasPending() {
  std::lock_guard lock(mutex_);
  return !pending_.empty();
}

void TMidiOutPortBase::Pump(size_t maxEventBytes, const TWriter& write) {
  std::vector<TMidiHdr*> done;
  {
    std::lock_guard lock(mutex_);
    while (!pending_.empty()) {
      TPending& p = pending_.front();
      const uint8_t* data = p.hdr ? p.hdr->Data : p.bytes;
      bool full = false;
      while (p.offset < p.size) {
        bool inSysEx = inSysEx_;
        const size_t n = NextEventLength(data + p.offset, p.size - p.offset, maxEventBytes, inSysEx);
        if (!write(data + p.offset, n, IsSysExPiece(data[p.offset], inSysEx_))) {
          full = true;
          break;
        }
        p.offset += n;
        inSysEx_ = inSysEx;
      }
      if (full) break;
      if (p.hdr) done.push_back(p.hdr);
      pending_.pop_front();
    }
  }
  for (TMidiHdr* hdr : done) Done(hdr);
}

void TMidiOutPortBase::Done(TMidiHdr* hdr) {
  hdr->Flags = (hdr->Flags & ~kMhdrInQueue) | kMhdrDone;
  if (callback_) callback_(this, MOM_DONE, instance_, reinterpret_cast<uintptr_t>(hdr), 0);
}

void TMidiOutPortBase::DeviceGone() {
  if (gone_.exchange(true)) return;
  if (callback_) callback_(this, MOM_CLOSE, instance_, 0, 0);
}

}  // namespace kalvex
