#include "midi/midi_in_port_base.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "util/clock.h"
#include "util/midi_message.h"

namespace kalvex {

TMidiInPortBase::TMidiInPortBase(TMidiCallback callback, uintptr_t instance, TNoBuffer noBuffer,
                                 uint32_t bufferWaitMs)
    : callback_(callback), instance_(instance), noBuffer_(noBuffer), bufferWaitMs_(bufferWaitMs) {}

TMidiInPortBase::~TMidiInPortBase() = default;

void TMidiInPortBase::Emit(uint32_t msg, uintptr_t p1) {
  if (callback_) callback_(this, msg, instance_, p1, now_);
}

void TMidiInPortBase::EmitShort(uint32_t msg, uint32_t packed) { Emit(msg, packed); }

void TMidiInPortBase::FlushPendingShortAsError() {
  // An incomplete message cut off by a status byte cannot be delivered as
  // what it was meant to be; it is reported as malformed (lost, when input
  // was lost just before it).
  if (pendingCount_ > 0) (skipAfterLoss_ ? lost_ : malformed_) += static_cast<size_t>(pendingCount_);
  pendingCount_ = 0;
  pendingNeed_ = 0;
}

void TMidiInPortBase::FlushLost() {
  FlushMalformed();
  if (lost_ == 0) return;
  const size_t lost = lost_;
  lost_ = 0;
  Emit(MIM_LOSTDATA, lost);
}

void TMidiInPortBase::FlushMalformed() {
  if (malformed_ == 0) return;
  const size_t malformed = malformed_;
  malformed_ = 0;
  Emit(MIM_ERROR, malformed);
}

// Input was lost: the message it was part of cannot be whole. A SysEx piece
// in progress ends as an error piece (an empty one when the last piece was
// just handed on), and what follows up to the next status byte is skipped.
void TMidiInPortBase::AbandonMessage() {
  if (inSysEx_) {
    if (!current_) PopBuffer();
    FinishSysEx(MIM_LONGERROR);
    inSysEx_ = false;
  }
  if (pendingCount_ > 0) lost_ += static_cast<size_t>(pendingCount_);
  pendingCount_ = pendingNeed_ = 0;
  runningStatus_ = 0;
  skipAfterLoss_ = true;
}

bool TMidiInPortBase::TakeBuffer(std::unique_lock<std::recursive_mutex>& lock,
                                 const std::atomic<bool>* abort) {
  if (!queueHead_ && noBuffer_ == TNoBuffer::Wait && bufferWaitMs_ > 0) {
    const uint32_t resets = resets_;
    bufferAdded_.wait_for(lock, std::chrono::milliseconds(bufferWaitMs_), [&] {
      return queueHead_ || closed_ || !started_ || resets != resets_ ||
             (abort && abort->load(std::memory_order_relaxed));
    });
  }
  return PopBuffer();
}

bool TMidiInPortBase::PopBuffer() {
  if (!queueHead_) return false;
  current_ = queueHead_;
  queueHead_ = queueHead_->Next;
  if (!queueHead_) queueTail_ = nullptr;
  current_->Next = nullptr;
  return true;
}

void TMidiInPortBase::FinishSysEx(uint32_t msg) {
  if (!current_) return;
  TMidiHdr* hdr = current_;
  current_ = nullptr;
  hdr->Flags = (hdr->Flags & ~kMhdrInQueue) | kMhdrDone;
  Emit(msg, reinterpret_cast<uintptr_t>(hdr));
}

size_t TMidiInPortBase::Deliver(const uint8_t* data, size_t size, const std::atomic<bool>* abort) {
  std::unique_lock lock(mutex_);
  if (closed_ || disconnected_ || !started_) return size;
  now_ = TimeGetTime() - startTime_;
  const uint32_t resets = resets_;
  // Appends SysEx bytes and says how many it took. It takes fewer only when
  // the delivery must end: closed, stopped or reset while waiting for a
  // buffer (stopped is set), or out of buffers under TNoBuffer::Hold.
  bool stopped = false;
  auto appendSysEx = [&](const uint8_t* p, size_t n) -> size_t {
    size_t taken = 0;
    while (taken < n) {
      if (!current_ && !TakeBuffer(lock, abort)) {
        if (closed_ || !started_ || resets != resets_) {
          stopped = true;
          return taken;
        }
        if (noBuffer_ == TNoBuffer::Hold) return taken;
        lost_ += n - taken;
        AbandonMessage();  // later bytes of it must not land in the next buffer
        return n;
      }
      const size_t room = current_->BufferLength - current_->BytesRecorded;
      const size_t take = std::min(room, n - taken);
      std::memcpy(current_->Data + current_->BytesRecorded, p + taken, take);
      current_->BytesRecorded += static_cast<uint32_t>(take);
      taken += take;
      if (current_->BytesRecorded >= current_->BufferLength) FinishSysEx(MIM_LONGDATA);
    }
    return taken;
  };

  size_t i = 0;
  while (i < size) {
    const uint8_t b = data[i];
    if (inSysEx_ && b < 0x80) {
      size_t end = i + 1;
      while (end < size && data[end] < 0x80) ++end;
      const size_t taken = appendSysEx(data + i, end - i);
      i += taken;
      if (stopped) return size;
      if (i < end) break;  // held: the rest waits for buffers
      continue;
    }
    if (b >= 0xF8) {  // real-time bytes may come anywhere, even inside SysEx
      ++i;
      EmitShort(MIM_DATA, b);
      continue;
    }
    if (inSysEx_) {
      if (b == 0xF7) {
        if (appendSysEx(&b, 1) == 0) {
          if (stopped) return size;
          break;
        }
        ++i;
        FinishSysEx(MIM_LONGDATA);
        inSysEx_ = false;
        skipAfterLoss_ = false;  // the end of a message that lost its last byte
        continue;
      }
      // Any other status byte ends the message early.
      FinishSysEx(MIM_LONGERROR);
      inSysEx_ = false;
    }
    if (b == 0xF0) {
      FlushPendingShortAsError();
      skipAfterLoss_ = false;
      runningStatus_ = 0;
      inSysEx_ = true;
      if (appendSysEx(&b, 1) == 0) {
        if (stopped) return size;
        break;  // parsed again when buffers come back
      }
      ++i;
      continue;
    }
    ++i;
    if (b >= 0x80) {
      FlushPendingShortAsError();
      if (b == 0xF7) {  // an end of SysEx without a start (or of one that lost bytes)
        (skipAfterLoss_ ? lost_ : malformed_) += 1;
        skipAfterLoss_ = false;
        continue;
      }
      skipAfterLoss_ = false;
      const int length = MessageLength(b);
      runningStatus_ = b < 0xF0 ? b : 0;
      if (length <= 1) {
        EmitShort(MIM_DATA, b);
        continue;
      }
      pending_[0] = b;
      pendingCount_ = 1;
      pendingNeed_ = length;
      continue;
    }
    // A data byte.
    if (pendingCount_ == 0) {
      if (runningStatus_ == 0) {  // no status to belong to
        (skipAfterLoss_ ? lost_ : malformed_) += 1;
        continue;
      }
      pending_[0] = runningStatus_;
      pendingCount_ = 1;
      pendingNeed_ = MessageLength(runningStatus_);
    }
    pending_[pendingCount_++] = b;
    if (pendingCount_ >= pendingNeed_) {
      uint32_t packed = pending_[0];
      if (pendingCount_ > 1) packed |= uint32_t(pending_[1]) << 8;
      if (pendingCount_ > 2) packed |= uint32_t(pending_[2]) << 16;
      pendingCount_ = 0;
      pendingNeed_ = 0;
      EmitShort(MIM_DATA, packed);
    }
  }
  FlushLost();
  return i;
}

void TMidiInPortBase::DeliverOrHold(const uint8_t* data, size_t size, size_t maxHeld) {
  if (!Holding()) {
    held_.clear();
    heldOffset_ = 0;
    const size_t taken = Deliver(data, size);
    if (taken == size) return;
    data += taken;
    size -= taken;
  }
  if (held_.size() - heldOffset_ + size > maxHeld) {
    // Lost after what is held: reported in its place in the stream, so that
    // it ends the message it fell into and not the one held before it.
    if (heldLost_ == 0) heldLostAt_ = held_.size();
    heldLost_ += size;
    return;
  }
  held_.insert(held_.end(), data, data + size);
}

bool TMidiInPortBase::DeliverHeld() {
  if (heldLost_ > 0) {
    if (heldOffset_ < heldLostAt_) heldOffset_ += Deliver(held_.data() + heldOffset_, heldLostAt_ - heldOffset_);
    if (heldOffset_ < heldLostAt_) return false;
    const size_t lost = heldLost_;
    heldLost_ = 0;
    ReportLost(lost);
  }
  if (heldOffset_ < held_.size()) heldOffset_ += Deliver(held_.data() + heldOffset_, held_.size() - heldOffset_);
  if (Holding()) return false;
  held_.clear();
  heldOffset_ = 0;
  return true;
}

void TMidiInPortBase::Disconnected() {
  std::unique_lock lock(mutex_);
  if (closed_ || disconnected_) return;
  disconnected_ = true;
  now_ = TimeGetTime() - startTime_;
  FinishSysEx(MIM_LONGERROR);
  inSysEx_ = false;
  FlushPendingShortAsError();
  FlushLost();
  Emit(MIM_CLOSE, 0);
  bufferAdded_.notify_all();
}

void TMidiInPortBase::ReportLost(size_t bytes) {
  std::unique_lock lock(mutex_);
  if (closed_ || disconnected_ || !started_ || bytes == 0) return;
  now_ = TimeGetTime() - startTime_;
  lost_ += bytes;
  AbandonMessage();
  FlushLost();
}

void TMidiInPortBase::WakeWaiters() {
  std::unique_lock lock(mutex_);
  bufferAdded_.notify_all();
}

uint32_t TMidiInPortBase::Close() {
  {
    std::unique_lock lock(mutex_);
    if (closed_) return kMidiNoError;
    closed_ = true;
    started_ = false;
    bufferAdded_.notify_all();
  }
  Detach();
  // The input forgets its buffers after closing; drop our links to them.
  std::unique_lock lock(mutex_);
  queueHead_ = queueTail_ = current_ = nullptr;
  return kMidiNoError;
}

uint32_t TMidiInPortBase::GetID() {
  std::unique_lock lock(mutex_);
  return closed_ ? kMidiErrInvalidHandle : kMidiNoError;
}

uint32_t TMidiInPortBase::PrepareHeader(TMidiHdr* hdr) {
  if (!hdr || !hdr->Data || hdr->BufferLength == 0) return kMidiErrInvalidParam;
  hdr->Flags |= kMhdrPrepared;
  return kMidiNoError;
}

uint32_t TMidiInPortBase::UnprepareHeader(TMidiHdr* hdr) {
  if (!hdr) return kMidiErrInvalidParam;
  std::unique_lock lock(mutex_);
  if (hdr->Flags & kMhdrInQueue) return kMidiErrStillPlaying;
  hdr->Flags &= ~kMhdrPrepared;
  return kMidiNoError;
}

uint32_t TMidiInPortBase::AddBuffer(TMidiHdr* hdr) {
  if (!hdr) return kMidiErrInvalidParam;
  std::unique_lock lock(mutex_);
  if (closed_) return kMidiErrInvalidHandle;
  if (disconnected_) return kMidiErrNoDevice;
  if (!(hdr->Flags & kMhdrPrepared)) return kMidiErrUnprepared;
  if (hdr->Flags & kMhdrInQueue) return kMidiErrStillPlaying;
  hdr->Flags = (hdr->Flags & ~kMhdrDone) | kMhdrInQueue;
  hdr->BytesRecorded = 0;
  hdr->Next = nullptr;
  if (queueTail_) queueTail_->Next = hdr;
  else queueHead_ = hdr;
  queueTail_ = hdr;
  bufferAdded_.notify_all();
  return kMidiNoError;
}

uint32_t TMidiInPortBase::Start() {
  std::unique_lock lock(mutex_);
  if (closed_) return kMidiErrInvalidHandle;
  if (disconnected_) return kMidiErrNoDevice;
  if (!started_) {
    started_ = true;
    startTime_ = TimeGetTime();
  }
  return kMidiNoError;
}

uint32_t TMidiInPortBase::Stop() {
  std::unique_lock lock(mutex_);
  if (closed_) return kMidiErrInvalidHandle;
  started_ = false;
  bufferAdded_.notify_all();
  return kMidiNoError;
}

void TMidiInPortBase::ReturnAll() {
  FinishSysEx(MIM_LONGDATA);
  while (queueHead_) {
    TMidiHdr* hdr = queueHead_;
    queueHead_ = hdr->Next;
    hdr->Next = nullptr;
    hdr->Flags = (hdr->Flags & ~kMhdrInQueue) | kMhdrDone;
    Emit(MIM_LONGDATA, reinterpret_cast<uintptr_t>(hdr));
  }
  queueTail_ = nullptr;
}

uint32_t TMidiInPortBase::Reset() {
  std::unique_lock lock(mutex_);
  if (closed_) return kMidiErrInvalidHandle;
  ++resets_;
  started_ = false;
  ReturnAll();
  inSysEx_ = false;
  runningStatus_ = 0;
  pendingCount_ = pendingNeed_ = 0;
  lost_ = malformed_ = 0;
  skipAfterLoss_ = false;
  bufferAdded_.notify_all();
  return kMidiNoError;
}

}  // namespace kalvex
