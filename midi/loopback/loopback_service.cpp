#include "midi/loopback/loopback_service.h"

#include <chrono>
#include <thread>

#include <algorithm>

#include "midi/midi_in_port_base.h"
#include "midi/midi_out_port_base.h"
#include "midi/midi_system.h"
#include "util/trace.h"
#include "util/midi_message.h"

namespace kalvex {

namespace {
// Long messages are handed over in slices so that a reset, a close or a
// removed cable can stop a large one in the middle.
constexpr size_t kSliceBytes = 16 * 1024;
}  // namespace

class TLoopbackInPort final : public TMidiInPortBase {
public:
  TLoopbackInPort(TLoopbackService& service, std::shared_ptr<TLoopbackService::TCable> cable,
                  TMidiCallback callback, uintptr_t instance)
      : TMidiInPortBase(callback, instance, TNoBuffer::Wait, TLoopbackService::kBufferWaitMs),
        service_(service),
        cable_(std::move(cable)) {}
  ~TLoopbackInPort() override { Close(); }

protected:
  void Detach() override { service_.DetachIn(this); }

private:
  friend class TLoopbackService;
  TLoopbackService& service_;
  std::shared_ptr<TLoopbackService::TCable> cable_;
};

// The cable's service thread carries the bytes; the header rules and reports
// are every output port's.
class TLoopbackOutPort final : public TMidiOutPortCore {
public:
  TLoopbackOutPort(TLoopbackService& service, std::shared_ptr<TLoopbackService::TCable> cable,
                   TMidiCallback callback, uintptr_t instance)
      : TMidiOutPortCore(callback, instance), service_(service), cable_(std::move(cable)) {}
  ~TLoopbackOutPort() override { Close(); }

  uint32_t Close() override {
    if (!MarkClosed()) return kMidiNoError;
    // What was sent before the close still goes out (short messages too,
    // which nobody counts as pending); only what is left after a bound goes.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TMidiOutPortBase::kCloseDrainMs);
    while (service_.Queued(this) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Reset();
    service_.DetachOut(this);
    return kMidiNoError;
  }
  uint32_t ShortMsg(uint32_t packed) override {
    if (Closed()) return kMidiErrInvalidHandle;
    return service_.Enqueue({TLoopbackService::TItemKind::Short, cable_, this, packed, nullptr});
  }
  uint32_t LongMsg(TMidiHdr* hdr) override {
    if (const uint32_t refused = TakeHeader(hdr); refused != kMidiNoError) return refused;
    const uint32_t result = service_.Enqueue({TLoopbackService::TItemKind::Long, cable_, this, 0, hdr});
    if (result != kMidiNoError) ReturnHeader(hdr);
    return result;
  }
  uint32_t Reset() override {
    for (TMidiHdr* hdr : service_.ResetOut(this)) Done(hdr);
    return kMidiNoError;
  }

private:
  friend class TLoopbackService;
  TLoopbackService& service_;
  std::shared_ptr<TLoopbackService::TCable> cable_;
};

TLoopbackService::TLoopbackService() {
  for (const char* name : kDefaultCables) {
    auto cable = std::make_shared<TCable>();
    cable->name = name;
    cables_.push_back(std::move(cable));
  }
  thread_ = std::thread([this] { Run(); });
}

TLoopbackService::~TLoopbackService() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  thread_.join();
}

bool TLoopbackService::AddCable(const std::string& name) {
  {
    std::lock_guard lock(mutex_);
    for (auto& c : cables_)
      if (c->name == name) return false;
    auto cable = std::make_shared<TCable>();
    cable->name = name;
    cables_.push_back(std::move(cable));
  }
  TraceF("loopback cable added: %s", name.c_str());
  NotifyMidiDevicesChanged();
  return true;
}

bool TLoopbackService::RemoveCable(const std::string& name) {
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(cables_.begin(), cables_.end(),
                           [&](const auto& c) { return c->name == name; });
    if (it == cables_.end()) return false;
    (*it)->removed = true;
    queue_.push_back({TItemKind::Disconnect, *it, nullptr, 0, nullptr});
    cables_.erase(it);
  }
  work_.notify_all();
  TraceF("loopback cable removed: %s", name.c_str());
  NotifyMidiDevicesChanged();
  return true;
}

std::vector<std::string> TLoopbackService::CableNames() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (auto& c : cables_) names.push_back(c->name);
  return names;
}

int TLoopbackService::InGetNumDevs() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(cables_.size());
}

int TLoopbackService::OutGetNumDevs() { return InGetNumDevs(); }

uint32_t TLoopbackService::InGetDevCaps(int id, TMidiDeviceCaps& caps) {
  std::lock_guard lock(mutex_);
  if (id < 0 || id >= static_cast<int>(cables_.size())) return kMidiErrBadDeviceId;
  caps.Name = cables_[static_cast<size_t>(id)]->name;
  caps.InterfacePath = "loopback:" + caps.Name;
  return kMidiNoError;
}

uint32_t TLoopbackService::OutGetDevCaps(int id, TMidiDeviceCaps& caps) {
  return InGetDevCaps(id, caps);
}

uint32_t TLoopbackService::InOpen(std::unique_ptr<TMidiInPort>& port, int id,
                                  TMidiCallback callback, uintptr_t instance) {
  std::lock_guard lock(mutex_);
  if (id < 0 || id >= static_cast<int>(cables_.size())) return kMidiErrBadDeviceId;
  auto& cable = cables_[static_cast<size_t>(id)];
  if (cable->in) return kMidiErrAllocated;
  auto p = std::make_unique<TLoopbackInPort>(*this, cable, callback, instance);
  cable->in = p.get();
  port = std::move(p);
  return kMidiNoError;
}

uint32_t TLoopbackService::OutOpen(std::unique_ptr<TMidiOutPort>& port, int id,
                                   TMidiCallback callback, uintptr_t instance) {
  std::lock_guard lock(mutex_);
  if (id < 0 || id >= static_cast<int>(cables_.size())) return kMidiErrBadDeviceId;
  auto& cable = cables_[static_cast<size_t>(id)];
  if (cable->out) return kMidiErrAllocated;
  auto p = std::make_unique<TLoopbackOutPort>(*this, cable, callback, instance);
  cable->out = p.get();
  port = std::move(p);
  return kMidiNoError;
}

uint32_t TLoopbackService::Enqueue(TItem item) {
  bool wasEmpty = false;
  {
    std::lock_guard lock(mutex_);
    if (item.cable->removed) return kMidiErrNoDevice;
    wasEmpty = queue_.empty();
    queue_.push_back(std::move(item));
  }
  // The cable's thread only sleeps on an empty queue: a wake-up per item
  // while it is busy costs a system call each and buys nothing.
  if (wasEmpty) work_.notify_one();
  return kMidiNoError;
}

void TLoopbackService::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    TItem item = std::move(queue_.front());
    queue_.pop_front();
    Process(item, lock);
  }
}

// Runs with the lock held; releases it around the callbacks.
void TLoopbackService::Process(TItem& item, std::unique_lock<std::mutex>& lock) {
  TCable& cable = *item.cable;
  TLoopbackInPort* in = cable.in;
  if (item.kind == TItemKind::Disconnect) {
    TLoopbackOutPort* out = cable.out;
    deliveringTo_ = in;
    deliveringFrom_ = out;
    lock.unlock();
    if (in) in->Disconnected();
    if (out) out->DeviceGone();
    lock.lock();
  } else {
    deliveringTo_ = in;
    deliveringFrom_ = item.from;
    abortCurrent_ = false;
    const bool gone = cable.removed;
    lock.unlock();
    if (item.kind == TItemKind::Short) {
      if (in && !gone) {
        const uint8_t bytes[3] = {uint8_t(item.packed), uint8_t(item.packed >> 8),
                                  uint8_t(item.packed >> 16)};
        // Only as many bytes as the status byte asks for: the rest of the
        // packed word is padding, not running-status data.
        const int length = std::clamp(MessageLength(bytes[0]), 1, 3);
        in->Deliver(bytes, static_cast<size_t>(length));
      }
    } else {
      TMidiHdr* hdr = item.hdr;
      size_t offset = 0;
      while (in && offset < hdr->BufferLength && !cable.removed && !abortCurrent_) {
        const size_t n = std::min(kSliceBytes, size_t(hdr->BufferLength) - offset);
        in->Deliver(hdr->Data + offset, n, &abortCurrent_);
        offset += n;
      }
      item.from->Done(hdr);
    }
    lock.lock();
  }
  deliveringTo_ = nullptr;
  deliveringFrom_ = nullptr;
  idle_.notify_all();
}

void TLoopbackService::DetachIn(TLoopbackInPort* port) {
  std::unique_lock lock(mutex_);
  if (port->cable_->in == port) port->cable_->in = nullptr;
  idle_.wait(lock, [&] { return deliveringTo_ != port; });
}

bool TLoopbackService::Queued(const TLoopbackOutPort* port) {
  std::lock_guard lock(mutex_);
  if (deliveringFrom_ == port) return true;
  for (const TItem& item : queue_)
    if (item.from == port) return true;
  return false;
}

std::vector<TMidiHdr*> TLoopbackService::ResetOut(TLoopbackOutPort* port) {
  std::vector<TMidiHdr*> taken;
  std::unique_lock lock(mutex_);
  for (auto it = queue_.begin(); it != queue_.end();) {
    if (it->from == port) {
      if (it->hdr) taken.push_back(it->hdr);
      it = queue_.erase(it);
      } else {
      ++it;
    }
  }
  if (deliveringFrom_ == port) {
    abortCurrent_ = true;
    if (deliveringTo_) deliveringTo_->WakeWaiters();
    idle_.wait(lock, [&] { return deliveringFrom_ != port; });
  }
  return taken;
}

void TLoopbackService::DetachOut(TLoopbackOutPort* port) {
  std::unique_lock lock(mutex_);
  if (port->cable_->out == port) port->cable_->out = nullptr;
  // A Disconnect item may still name the port through the cable; it reads
  // cable.out under the lock, so clearing it is enough.
  idle_.wait(lock, [&] { return deliveringFrom_ != port; });
}

}  // namespace kalvex
