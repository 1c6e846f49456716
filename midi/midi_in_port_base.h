#pragma once
// The input state machine shared by every backend: a byte stream from a device
// becomes short messages and SysEx pieces in the buffers the input queued,
// reported through the port's callback on the backend's driver thread.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "midi/midi_service.h"

namespace kalvex {

class TMidiInPortBase : public TMidiInPort {
public:
  // What Deliver does when SysEx arrives and no buffer is queued.
  enum class TNoBuffer {
    Lose,  // the bytes are reported lost (MIM_LOSTDATA)
    Wait,  // wait up to bufferWaitMs for one, then lose (a virtual cable holds its sender back)
    Hold,  // stop and return; the backend keeps the rest and delivers it later
  };

  TMidiInPortBase(TMidiCallback callback, uintptr_t instance, TNoBuffer noBuffer = TNoBuffer::Lose,
                  uint32_t bufferWaitMs = 0);
  ~TMidiInPortBase() override;

  // Driver side. Bytes are ignored unless started. abort (optional) ends a
  // wait for buffers early. Returns the bytes taken: all of them, except
  // with TNoBuffer::Hold when the buffers ran out.
  size_t Deliver(const uint8_t* data, size_t size, const std::atomic<bool>* abort = nullptr);
  // For a backend that cannot wait (TNoBuffer::Hold): what Deliver could not
  // take yet is kept, up to maxHeld bytes (beyond that, reported lost where
  // it fell in the stream), and goes first at the next DeliverHeld. Driver
  // thread only.
  void DeliverOrHold(const uint8_t* data, size_t size, size_t maxHeld);
  // Delivers what is held; true when nothing is held any more.
  bool DeliverHeld();
  bool Holding() const { return heldOffset_ < held_.size() || heldLost_ > 0; }
  // The device went away: a SysEx piece in progress comes back as
  // MIM_LONGERROR, then MIM_CLOSE. Nothing is accepted afterwards.
  void Disconnected();
  // The system dropped input (e.g. its queue overran). A SysEx message in
  // progress ends there as an error piece (MIM_LONGERROR), and the rest of
  // it, up to the next status byte, is skipped as lost too.
  void ReportLost(size_t bytes);
  // Wakes a Deliver that waits for buffers so it can look at abort again.
  void WakeWaiters();

  // TMidiInPort
  uint32_t Close() override;
  uint32_t GetID() override;
  uint32_t PrepareHeader(TMidiHdr* hdr) override;
  uint32_t UnprepareHeader(TMidiHdr* hdr) override;
  uint32_t AddBuffer(TMidiHdr* hdr) override;
  uint32_t Start() override;
  uint32_t Stop() override;
  uint32_t Reset() override;


protected:
  // Backends detach the port from their driver thread here; called by Close
  // after the port stopped sending callbacks.
  virtual void Detach() {}

private:
  void Emit(uint32_t msg, uintptr_t p1);
  void EmitShort(uint32_t msg, uint32_t packed);
  void FlushPendingShortAsError();
  bool TakeBuffer(std::unique_lock<std::recursive_mutex>& lock, const std::atomic<bool>* abort);
  bool PopBuffer();  // the next queued buffer becomes current_, without waiting
  void FinishSysEx(uint32_t msg);
  void ReturnAll();
  void FlushLost();
  void FlushMalformed();
  void AbandonMessage();

  TMidiCallback callback_;
  uintptr_t instance_;
  TNoBuffer noBuffer_;
  uint32_t bufferWaitMs_;

  std::recursive_mutex mutex_;
  std::condition_variable_any bufferAdded_;
  bool started_ = false;
  bool closed_ = false;
  bool disconnected_ = false;
  uint32_t startTime_ = 0;
  uint32_t now_ = 0;  // time stamp of the bytes being parsed
  uint32_t resets_ = 0;

  // queued buffers, oldest first
  TMidiHdr* queueHead_ = nullptr;
  TMidiHdr* queueTail_ = nullptr;
  TMidiHdr* current_ = nullptr;  // the buffer SysEx is written into

  bool inSysEx_ = false;
  uint8_t runningStatus_ = 0;
  uint8_t pending_[3] = {0, 0, 0};
  int pendingCount_ = 0;
  int pendingNeed_ = 0;
  size_t lost_ = 0;
  size_t malformed_ = 0;
  bool skipAfterLoss_ = false;  // data bytes up to the next status belong to a damaged message

  std::vector<uint8_t> held_;  // driver thread only
  size_t heldOffset_ = 0;
  size_t heldLost_ = 0;    // bytes lost after held_[heldLostAt_ - 1]
  size_t heldLostAt_ = 0;
};

}  // namespace kalvex
