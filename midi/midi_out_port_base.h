#pragma once
// An output port whose backend sends from a thread of its own: short and
// long messages wait in one queue, in order; the backend's driver thread
// takes them out an event at a time with Pump and the port reports each long
// message done (MOM_DONE) once all of it was handed over.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "midi/midi_service.h"

namespace kalvex {

class TMidiOutPortBase : public TMidiOutPort {
public:
  // Takes the bytes of one event; false when the service has no room now
  // (the event is offered again at the next Pump).
  using TWriter = std::function<bool(const uint8_t* data, size_t size, bool sysExPiece)>;

  TMidiOutPortBase(TMidiCallback callback, uintptr_t instance);
  ~TMidiOutPortBase() override;

  uint32_t Close() override;
  uint32_t GetID() override;
  uint32_t ShortMsg(uint32_t packed) override;
  uint32_t PrepareHeader(TMidiHdr* hdr) override;
  uint32_t UnprepareHeader(TMidiHdr* hdr) override;
  uint32_t LongMsg(TMidiHdr* hdr) override;
  uint32_t Reset() override;

  // Driver side.
  void Pump(size_t maxEventBytes, const TWriter& write);
  bool HasPending();
  // The device went away: MOM_CLOSE once; sends are refused from now on.
  void DeviceGone();

protected:
  // Something was queued.
  virtual void Wake() {}
  // Called by Close after the queue was emptied; the backend forgets the port.
  virtual void Detach() {}

private:
  struct TPending {
    TMidiHdr* hdr = nullptr;
    uint8_t bytes[3] = {0, 0, 0};
    size_t size = 0;
    size_t offset = 0;
  };
  void Done(TMidiHdr* hdr);
  uint32_t Queue(const TPending& item);

  TMidiCallback callback_;
  uintptr_t instance_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> gone_{false};
  std::mutex mutex_;
  std::deque<TPending> pending_;
  bool inSysEx_ = false;
};

}  // namespace kalvex
