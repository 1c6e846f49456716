#pragma once
// An output port whose backend sends from a thread of its own: short and
// long messages wait in one queue, in order; the backend's driver thread
// takes them out an event at a time with Pump and the port reports each long
// message done (MOM_DONE) once the service has delivered all of it and, on a
// port paced to the wire, once its last byte has left the pacer. Closing
// waits (bounded) until everything queued was delivered. Data bytes that follow
// a channel message inside a long message (running status) go out as
// complete messages with their status.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "midi/midi_service.h"
#include "midi/midi_wire_pacer.h"

namespace kalvex {

// What every output port shares: the header rules, and the reports of a
// finished long message (MOM_DONE) and of a device that went away (MOM_CLOSE).
class TMidiOutPortCore : public TMidiOutPort {
public:
  TMidiOutPortCore(TMidiCallback callback, uintptr_t instance) : callback_(callback), instance_(instance) {}
  uint32_t GetID() override { return closed_ ? kMidiErrInvalidHandle : kMidiNoError; }
  uint32_t PrepareHeader(TMidiHdr* hdr) override;
  uint32_t UnprepareHeader(TMidiHdr* hdr) override;
  // The device went away: MOM_CLOSE once; sends are refused from now on.
  void DeviceGone();

protected:
  // A header LongMsg was given: kMidiNoError and marked queued when it may go.
  uint32_t TakeHeader(TMidiHdr* hdr);
  // LongMsg could not queue it after all.
  static void ReturnHeader(TMidiHdr* hdr) { hdr->Flags &= ~kMhdrInQueue; }
  void Done(TMidiHdr* hdr);
  // True for the first caller only.
  bool MarkClosed() { return !closed_.exchange(true); }
  bool Closed() const { return closed_; }
  bool Gone() const { return gone_; }

private:
  TMidiCallback callback_;
  uintptr_t instance_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> gone_{false};
};

class TMidiOutPortBase : public TMidiOutPortCore {
public:
  // Takes the bytes of one event; false when the service has no room now
  // (the event is offered again at the next Pump).
  using TWriter = std::function<bool(const uint8_t* data, size_t size, bool sysExPiece)>;

  TMidiOutPortBase(TMidiCallback callback, uintptr_t instance);
  ~TMidiOutPortBase() override;

  uint32_t Close() override;
  uint32_t ShortMsg(uint32_t packed) override;
  uint32_t LongMsg(TMidiHdr* hdr) override;
  uint32_t Reset() override;

  // Driver side.
  void Pump(size_t maxEventBytes, const TWriter& write);
  // Queued bytes, or long messages still on the wire.
  bool HasPending();
  // Queued bytes not yet handed to the service.
  bool HasQueued();
  // Also bytes handed to the service that it has not delivered yet.
  bool HasUndelivered();
  // How long Close waits at most for what is queued to be delivered; what is
  // left then is dropped.
  static constexpr int kCloseDrainMs = 1000;
  // Output to hardware: never faster than the wire (set before the first send).
  void PaceToWire() { pacer_ = std::make_unique<TWirePacer>(); }
  bool PacedToWire() const { return pacer_ != nullptr; }
  // How long the driver thread may nap before the pacer lets more go (or a
  // message finishes); kNoWait when it is not the pacer that waits.
  static constexpr uint32_t kNoWait = 0xFFFFFFFF;
  uint32_t MsUntilPacerReady();

protected:
  // Something was queued.
  virtual void Wake() {}
  // Called by Close after the queue was emptied; the backend forgets the port.
  virtual void Detach() {}
  // Of the event bytes written so far, how many the service has delivered
  // (taken out of its buffer in a cycle that has ended); a long message is
  // done only once all of it was delivered. Services that deliver as they
  // take leave it as it is.
  virtual uint64_t DeliveredBytes(uint64_t written) { return written; }

private:
  struct TPending {
    TMidiHdr* hdr = nullptr;
    uint8_t bytes[3] = {0, 0, 0};
    size_t size = 0;
    size_t offset = 0;
    uint8_t runningStatus = 0;
  };
  struct TOnWire {
    TMidiHdr* hdr = nullptr;
    uint64_t lastByte = 0;     // the pacer's count after its last byte
    uint64_t lastWritten = 0;  // written_ after its last byte
  };
  uint32_t Queue(const TPending& item);

  std::mutex mutex_;
  std::deque<TPending> pending_;
  std::deque<TOnWire> onWire_;
  std::unique_ptr<TWirePacer> pacer_;
  size_t blockedEventBytes_ = 0;  // the event the pacer held back
  uint64_t written_ = 0;          // event bytes the service took
  bool inSysEx_ = false;
};

}  // namespace kalvex
