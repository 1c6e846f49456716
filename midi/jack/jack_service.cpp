#include "midi/jack/jack_service.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <ctime>

#include "midi/midi_in_port_base.h"
#include "midi/midi_out_port_base.h"
#include "midi/midi_system.h"
#include "util/trace.h"
#include "util/clock.h"
#include "util/midi_message.h"

namespace kalvex {

namespace {
constexpr const char* kClientName = "Kalvex";
constexpr size_t kInRingBytes = 256 * 1024;
constexpr size_t kOutRingBytes = 256 * 1024;
// A server started after us is found within this time.
constexpr uint32_t kRetryConnectMs = 1000;
constexpr int kReleaseTimeoutMs = 500;
constexpr int kPeerCheckMs = 1000;
constexpr long kServeMs = 5;
constexpr uint32_t kFreshListMs = 1000;
constexpr long kIdleMs = 200;

void Silent(const char* text) { TraceF("jack: %s", text); }

// PipeWire's JACK turns a port's events of one cycle into a control sequence
// of at most 4096 bytes, and its MIDI bridge drops a whole cycle whose events
// do not fit; each event takes its bytes, padded to 8, and a 16-byte header.
constexpr size_t kPipeWireCycleBytes = 4096;
// In an input ring, a record of this size in place of an event's: the bytes
// of events lost there.
constexpr uint32_t kGapMarker = 0xFFFFFFFF;
constexpr size_t kGapRecordBytes = 2 * sizeof(uint32_t);
size_t ControlBytes(size_t eventBytes) { return 16 + ((eventBytes + 7) & ~size_t(7)); }
// What a port buffer keeps for itself and an event's record (jackd: 32768
// bytes give a largest event of 32720).
constexpr size_t kPortBufferHeaderBytes = 64;
constexpr size_t kMinEventBytes = 1024;
bool IsPipeWire() { return std::strstr(jack_get_version_string(), "PipeWire") != nullptr; }
}  // namespace

// What the process callback sees of one of our ports.
struct TJackSlot {
  std::atomic<bool> active{false};
  // An output being released: its buffer is cleared every cycle and nothing
  // more is written, so the peer does not read the last events again.
  std::atomic<bool> closing{false};
  jack_port_t* port = nullptr;
  jack_ringbuffer_t* ring = nullptr;
  bool input = false;
  // Input: bytes the ring had no room for and that are not yet marked in it
  // (process callback only).
  uint32_t gap = 0;
  // Output: event bytes put into the port buffer, added once the port's
  // events of the cycle are all there (the peer reads them in that cycle).
  std::atomic<uint64_t> served{0};
};

class TJackInPort final : public TMidiInPortBase {
public:
  TJackInPort(TJackService& service, TMidiCallback callback, uintptr_t instance)
      : TMidiInPortBase(callback, instance, TNoBuffer::Hold), service_(service) {
    event_.reserve(64 * 1024);
  }
  ~TJackInPort() override { Close(); }

protected:
  void Detach() override { service_.DetachIn(this); }

private:
  friend class TJackService;
  TJackService& service_;
  int slot_ = -1;
  std::string peer_;
  bool attached_ = false;
  std::vector<uint8_t> event_;  // the event just taken from the ring
};

class TJackOutPort final : public TMidiOutPortBase {
public:
  TJackOutPort(TJackService& service, TMidiCallback callback, uintptr_t instance)
      : TMidiOutPortBase(callback, instance), service_(service) {}
  ~TJackOutPort() override { Close(); }

  // Driver thread: moves queued bytes into the ring buffer as far as it has
  // room. The pieces of a SysEx message (the send engine's, or a caller's)
  // are gathered into one event, up to the largest event a port buffer
  // takes: bridges to hardware encode every event on its own and drop one
  // that does not start with a status byte.
  void Pump() {
    ring_ = service_.slots_[slot_].ring;
    TMidiOutPortBase::Pump(MaxEvent(), [this](const uint8_t* data, size_t n, bool sysExPiece) {
      return Gather(data, n, sysExPiece);
    });
    // A message whose end does not come (a cancelled send, a port closing)
    // goes out as it is.
    if (!gathered_.empty() && !HasQueued() &&
        (Closed() || TimeGetTime() - gatheredAtMs_ >= TJackService::kStallFlushMs))
      FlushGathered();
  }

protected:
  void Wake() override { sem_post(&service_.wake_); }
  void Detach() override { service_.DetachOut(this); }
  // Driver thread (Pump) or a closing thread: what the process callback has
  // put into the port buffer.
  uint64_t DeliveredBytes(uint64_t written) override {
    const int slot = slot_;
    return slot < 0 ? written : service_.slots_[slot].served.load(std::memory_order_acquire);
  }

private:
  friend class TJackService;

  // A port to hardware takes no more than the device's buffer at once.
  size_t MaxEvent() const {
    return PacedToWire() ? std::min(service_.maxEventBytes_, TWirePacer::kBurstBytes) : service_.maxEventBytes_;
  }
  bool WriteEvent(const uint8_t* data, size_t n) {
    const uint16_t size = static_cast<uint16_t>(n);
    if (jack_ringbuffer_write_space(ring_) < sizeof size + n) return false;
    jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(&size), sizeof size);
    jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(data), n);
    return true;
  }
  bool FlushGathered() {
    if (gathered_.empty()) return true;
    if (!WriteEvent(gathered_.data(), gathered_.size())) return false;
    gathered_.clear();
    return true;
  }
  // One event from the queue; false when the ring has no room for what must
  // go now (the event is offered again).
  bool Gather(const uint8_t* data, size_t n, bool sysExPiece) {
    if (!sysExPiece) {
      // A real-time byte passes a message being gathered; anything else ends it.
      if (data[0] < 0xF8 && !FlushGathered()) return false;
      return WriteEvent(data, n);
    }
    if ((data[0] == 0xF0 || gathered_.size() + n > MaxEvent()) && !FlushGathered()) return false;
    const bool ends = data[n - 1] == 0xF7 || gathered_.size() + n == MaxEvent();
    if (ends && gathered_.empty()) return WriteEvent(data, n);
    if (ends) {
      // Gathered only once the whole message has room, so a refusal leaves
      // the piece to be offered again.
      if (jack_ringbuffer_write_space(ring_) < sizeof(uint16_t) + gathered_.size() + n) return false;
      gathered_.insert(gathered_.end(), data, data + n);
      return FlushGathered();
    }
    if (gathered_.empty()) gathered_.reserve(MaxEvent());
    gathered_.insert(gathered_.end(), data, data + n);
    gatheredAtMs_ = TimeGetTime();
    return true;
  }

  TJackService& service_;
  std::atomic<int> slot_{-1};
  std::string peer_;
  bool attached_ = false;
  // Driver thread only.
  jack_ringbuffer_t* ring_ = nullptr;
  std::vector<uint8_t> gathered_;  // a SysEx message whose end has not come yet
  uint32_t gatheredAtMs_ = 0;
};

TJackService::TJackService() : slots_(new TJackSlot[kMaxPorts]) {
  jack_set_error_function(Silent);
  jack_set_info_function(Silent);
  sem_init(&wake_, 0, 0);
  thread_ = std::thread([this] { Run(); });
}

TJackService::~TJackService() {
  stop_ = true;
  sem_post(&wake_);
  thread_.join();
  std::lock_guard lock(mutex_);
  CloseClient();
  sem_destroy(&wake_);
}

bool TJackService::EnsureClient() {
  if (client_) return true;
  const int64_t now = TimeGetTime();
  if (now - lastAttemptMs_ < kRetryConnectMs && now >= lastAttemptMs_) return false;
  lastAttemptMs_ = now;
  jack_status_t status{};
  jack_client_t* client = jack_client_open(kClientName, JackNoStartServer, &status);
  if (!client) {
    TraceF("jack: no server, status %d", int(status));
    return false;
  }
  // Read by the process callback and the driver thread.
  const bool pipeWire = IsPipeWire();
  cycleBudget_ = pipeWire ? kPipeWireCycleBytes : SIZE_MAX;
  const size_t buffer = jack_port_type_get_buffer_size(client, JACK_DEFAULT_MIDI_TYPE);
  maxEventBytes_ = std::clamp<size_t>(buffer > kPortBufferHeaderBytes ? buffer - kPortBufferHeaderBytes : 0,
                                      kMinEventBytes, UINT16_MAX);
  if (pipeWire) maxEventBytes_ = std::min(maxEventBytes_, kPipeWireCycleBytes - ControlBytes(0));
  jack_set_process_callback(client, &TJackService::Process, this);
  jack_on_shutdown(client, &TJackService::Shutdown, this);
  jack_set_port_registration_callback(client, &TJackService::PortRegistration, this);
  jack_set_xrun_callback(client, &TJackService::Xrun, this);
  jack_set_port_connect_callback(client, &TJackService::PortConnect, this);
  if (jack_activate(client) != 0) {
    jack_client_close(client);
    return false;
  }
  client_ = client;
  serverGone_ = false;
  TraceF("jack: connected as %s", jack_get_client_name(client));
  return true;
}

void TJackService::CloseClient() {
  if (!client_) return;
  for (int i = 0; i < kMaxPorts; ++i) slots_[i].active.store(false);
  if (!serverGone_) {
    jack_deactivate(client_);
    jack_client_close(client_);
  } else {
    // libjack can hang for good in jack_client_close once its server went
    // away and came back (jack2 issue 395): that client is left as it is,
    // a few bytes, rather than the driver thread and every menu with it.
    // A process callback that started before the slots went inactive may
    // still use a ring: the rings go once no callback runs.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReleaseTimeoutMs);
    while (inProcess_.load() > 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (inProcess_.load() > 0) {
      TraceF("jack: a process callback still runs; its rings are left");
      client_ = nullptr;
      for (int i = 0; i < kMaxPorts; ++i) {
        slots_[i].ring = nullptr;
        slots_[i].port = nullptr;
      }
      return;
    }
  }
  client_ = nullptr;
  for (int i = 0; i < kMaxPorts; ++i) {
    if (slots_[i].ring) jack_ringbuffer_free(slots_[i].ring);
    slots_[i].ring = nullptr;
    slots_[i].port = nullptr;
  }
}

void TJackService::RefreshPorts() {
  inputs_.clear();
  outputs_.clear();
  inputNames_.clear();
  outputNames_.clear();
  outputsPhysical_.clear();
  if (!EnsureClient()) return;
  auto collect = [this](unsigned long flags, std::vector<std::string>& ports,
                        std::vector<std::string>& names, std::vector<bool>* physical) {
    const char** list = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
    if (!list) return;
    for (const char** p = list; *p; ++p) {
      jack_port_t* port = jack_port_by_name(client_, *p);
      if (!port || jack_port_is_mine(client_, port)) continue;
      ports.emplace_back(*p);
      if (physical) physical->push_back((jack_port_flags(port) & JackPortIsPhysical) != 0);
      std::string name = *p;
      // The system client's ports are named after the driver; their
      // alias names the hardware.
      if (name.rfind("system:", 0) == 0) {
        std::vector<char> a1(static_cast<size_t>(jack_port_name_size()));
        std::vector<char> a2(a1.size());
        char* aliases[2] = {a1.data(), a2.data()};
        const int n = jack_port_get_aliases(port, aliases);
        if (n > 0) name = aliases[n - 1];
      }
      names.push_back(name);
    }
    jack_free(list);
  };
  // Ports that send to the world are our inputs, and the other way round.
  collect(JackPortIsOutput, inputs_, inputNames_, nullptr);
  collect(JackPortIsInput, outputs_, outputNames_, &outputsPhysical_);
  freshIn_ = freshOut_ = true;
  scannedAtMs_ = TimeGetTime();
}

bool TJackService::TakeFreshList(bool input) {
  std::atomic<bool>& fresh = input ? freshIn_ : freshOut_;
  const bool taken = fresh.exchange(false) && client_ && TimeGetTime() - scannedAtMs_ < kFreshListMs;
  return taken;
}

int TJackService::InGetNumDevs() {
  std::lock_guard lock(mutex_);
  if (!TakeFreshList(true)) {
    RefreshPorts();
    freshIn_ = false;
  }
  return static_cast<int>(inputs_.size());
}

int TJackService::OutGetNumDevs() {
  std::lock_guard lock(mutex_);
  if (!TakeFreshList(false)) {
    RefreshPorts();
    freshOut_ = false;
  }
  return static_cast<int>(outputs_.size());
}

uint32_t TJackService::GetDevCaps(bool input, int id, TMidiDeviceCaps& caps) {
  std::lock_guard lock(mutex_);
  const auto& ports = input ? inputs_ : outputs_;
  if (id < 0 || id >= static_cast<int>(ports.size())) return kMidiErrBadDeviceId;
  caps.Name = (input ? inputNames_ : outputNames_)[static_cast<size_t>(id)];
  caps.InterfacePath = "jack:" + ports[static_cast<size_t>(id)];
  return kMidiNoError;
}

uint32_t TJackService::InGetDevCaps(int id, TMidiDeviceCaps& caps) { return GetDevCaps(true, id, caps); }

uint32_t TJackService::OutGetDevCaps(int id, TMidiDeviceCaps& caps) { return GetDevCaps(false, id, caps); }

int TJackService::FreeSlot() {
  for (int i = 0; i < kMaxPorts; ++i)
    if (!slots_[i].active && !slots_[i].port) return i;
  return -1;
}

void TJackService::WaitForCycles(uint32_t count) {
  const uint32_t start = cycles_.load();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReleaseTimeoutMs);
  while (cycles_.load() - start < count && !serverGone_ && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void TJackService::WaitForGraph(jack_port_t* port) {
  // A new connection takes effect a cycle or two later; what is written
  // before then goes nowhere.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReleaseTimeoutMs);
  while (jack_port_connected(port) == 0 && !serverGone_ && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  WaitForCycles(2);
}

void TJackService::ReleaseSlot(int slot) {
  TJackSlot& s = slots_[slot];
  if (client_ && !serverGone_) {
    if (!s.input) {
      // A port buffer that nobody clears keeps its events: the peer would
      // read them again every cycle until the port is gone.
      s.closing.store(true, std::memory_order_release);
      WaitForCycles(2);
    }
    s.active.store(false, std::memory_order_release);
    WaitForCycles(2);  // then no process callback can still be using the slot
    if (s.port) jack_port_unregister(client_, s.port);
  }
  s.active.store(false, std::memory_order_release);
  s.closing.store(false, std::memory_order_relaxed);
  if (s.ring) jack_ringbuffer_free(s.ring);
  s.ring = nullptr;
  s.port = nullptr;
  s.gap = 0;
}

uint32_t TJackService::Connect(bool input, const std::string& peer, int& slot) {
  if (!client_) return kMidiErrNoDevice;
  slot = FreeSlot();
  if (slot < 0) return kMidiErrNoMemory;
  const std::string shortName = (input ? "midi_in_" : "midi_out_") + std::to_string(++portCounter_);
  jack_port_t* jp = jack_port_register(client_, shortName.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                       input ? JackPortIsInput : JackPortIsOutput, 0);
  if (!jp) return kMidiErrNoMemory;
  const char* ours = jack_port_name(jp);
  if (jack_connect(client_, input ? peer.c_str() : ours, input ? ours : peer.c_str()) != 0) {
    jack_port_unregister(client_, jp);
    return kMidiErrNoDevice;
  }
  if (!input) WaitForGraph(jp);
  TJackSlot& s = slots_[slot];
  s.port = jp;
  s.ring = jack_ringbuffer_create(input ? kInRingBytes : kOutRingBytes);
  s.input = input;
  s.gap = 0;
  s.served = 0;
  s.closing = false;
  return kMidiNoError;
}

uint32_t TJackService::InOpen(std::unique_ptr<TMidiInPort>& port, int id, TMidiCallback callback,
                              uintptr_t instance) {
  std::lock_guard lock(mutex_);
  if (id < 0 || id >= static_cast<int>(inputs_.size())) return kMidiErrBadDeviceId;
  int slot = -1;
  const std::string& peer = inputs_[static_cast<size_t>(id)];
  if (const uint32_t result = Connect(true, peer, slot); result != kMidiNoError) return result;
  auto p = std::make_unique<TJackInPort>(*this, callback, instance);
  p->slot_ = slot;
  p->peer_ = peer;
  p->attached_ = true;
  openIn_.push_back(p.get());
  slots_[slot].active.store(true, std::memory_order_release);
  port = std::move(p);
  return kMidiNoError;
}

uint32_t TJackService::OutOpen(std::unique_ptr<TMidiOutPort>& port, int id, TMidiCallback callback,
                               uintptr_t instance) {
  std::lock_guard lock(mutex_);
  if (id < 0 || id >= static_cast<int>(outputs_.size())) return kMidiErrBadDeviceId;
  int slot = -1;
  const std::string& peer = outputs_[static_cast<size_t>(id)];
  if (const uint32_t result = Connect(false, peer, slot); result != kMidiNoError) return result;
  auto p = std::make_unique<TJackOutPort>(*this, callback, instance);
  if (outputsPhysical_[static_cast<size_t>(id)]) p->PaceToWire();
  p->slot_ = slot;
  p->peer_ = peer;
  p->attached_ = true;
  openOut_.push_back(p.get());
  slots_[slot].active.store(true, std::memory_order_release);
  port = std::move(p);
  return kMidiNoError;
}

void TJackService::DetachIn(TJackInPort* port) {
  std::lock_guard lock(mutex_);
  if (!port->attached_) return;
  port->attached_ = false;
  openIn_.erase(std::remove(openIn_.begin(), openIn_.end(), port), openIn_.end());
  ReleaseSlot(port->slot_);
}

void TJackService::DetachOut(TJackOutPort* port) {
  std::lock_guard lock(mutex_);
  if (!port->attached_) return;
  port->attached_ = false;
  openOut_.erase(std::remove(openOut_.begin(), openOut_.end(), port), openOut_.end());
  ReleaseSlot(port->slot_);
}

// Realtime thread: writes the record of a loss into an input ring when it has
// room for `room` bytes.
bool TJackService::MarkGap(TJackSlot& s, size_t room) {
  if (jack_ringbuffer_write_space(s.ring) < room) return false;
  const uint32_t record[2] = {kGapMarker, s.gap};
  jack_ringbuffer_write(s.ring, reinterpret_cast<const char*>(record), kGapRecordBytes);
  s.gap = 0;
  return true;
}

// Realtime thread: copies bytes only; never blocks, never allocates.
int TJackService::Process(uint32_t nframes, void* arg) {
  auto* self = static_cast<TJackService*>(arg);
  // Counted before any slot is looked at (see CloseClient).
  self->inProcess_.fetch_add(1);
  bool any = false;
  for (int i = 0; i < kMaxPorts; ++i) {
    TJackSlot& s = self->slots_[i];
    if (!s.active.load()) continue;  // seq_cst: paired with inProcess_ (see CloseClient)
    any = true;
    void* buffer = jack_port_get_buffer(s.port, nframes);
    if (s.input) {
      if (s.gap > 0) MarkGap(s, kGapRecordBytes);  // a loss is reported once there is room, events or not
      const uint32_t count = jack_midi_get_event_count(buffer);
      for (uint32_t e = 0; e < count; ++e) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, e) != 0) continue;
        const uint32_t size = static_cast<uint32_t>(event.size);
        // A loss is marked in the ring where it happened, so that the input
        // ends the message it fell into and not a later one.
        if (s.gap > 0 && !MarkGap(s, kGapRecordBytes + sizeof size + size)) {
          s.gap += size;
          continue;
        }
        if (jack_ringbuffer_write_space(s.ring) < sizeof size + size) {
          s.gap += size;
          continue;
        }
        jack_ringbuffer_write(s.ring, reinterpret_cast<const char*>(&size), sizeof size);
        jack_ringbuffer_write(s.ring, reinterpret_cast<const char*>(event.buffer), size);
      }
    } else {
      jack_midi_clear_buffer(buffer);
      if (s.closing.load(std::memory_order_acquire)) continue;
      uint64_t served = 0;
      size_t budget = self->cycleBudget_;
      for (;;) {
        uint16_t size = 0;
        const size_t available = jack_ringbuffer_read_space(s.ring);
        if (available < sizeof size) break;
        jack_ringbuffer_peek(s.ring, reinterpret_cast<char*>(&size), sizeof size);
        if (available < sizeof size + size) break;
        const size_t cost = ControlBytes(size);
        if (served > 0 && cost > budget) break;  // the rest goes in the next cycle
        budget -= std::min(budget, cost);
        // A full port buffer refuses the event (ENOBUFS): it waits for the next cycle.
        jack_midi_data_t* target = jack_midi_event_reserve(buffer, 0, size);
        if (!target) break;
        jack_ringbuffer_read_advance(s.ring, sizeof size);
        jack_ringbuffer_read(s.ring, reinterpret_cast<char*>(target), size);
        served += size;
      }
      if (served) s.served.fetch_add(served, std::memory_order_release);
    }
  }
  self->cycles_.fetch_add(1, std::memory_order_release);
  self->inProcess_.fetch_sub(1);
  if (any) sem_post(&self->wake_);  // nothing to move otherwise
  return 0;
}

void TJackService::Shutdown(void* arg) {
  auto* self = static_cast<TJackService*>(arg);
  self->freshIn_ = self->freshOut_ = false;
  self->serverGone_ = true;
  sem_post(&self->wake_);
}

void TJackService::PortConnect(uint32_t, uint32_t, int connect, void* arg) {
  if (connect) return;
  auto* self = static_cast<TJackService*>(arg);
  self->disconnected_ = true;
  sem_post(&self->wake_);
}

int TJackService::Xrun(void* arg) {
  auto* self = static_cast<TJackService*>(arg);
  self->xrun_ = true;
  sem_post(&self->wake_);
  return 0;
}

void TJackService::PortRegistration(uint32_t, int, void* arg) {
  auto* self = static_cast<TJackService*>(arg);
  self->freshIn_ = self->freshOut_ = false;
  self->portsChanged_ = true;
  sem_post(&self->wake_);
}

void TJackService::Run() {
  while (!stop_) {
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    // Short naps while connected (output may be waiting for room in the
    // ring buffer), long ones while there is no server.
    until.tv_nsec += (client_ ? kServeMs : kIdleMs) * 1000L * 1000L;
    while (until.tv_nsec >= 1000000000L) {
      until.tv_sec += 1;
      until.tv_nsec -= 1000000000L;
    }
    while (sem_timedwait(&wake_, &until) != 0 && errno == EINTR) {
    }
    if (stop_) return;
    std::lock_guard lock(mutex_);
    if (!client_) {
      // Look for a server now and then; one that appears brings its ports.
      if (EnsureClient()) NotifyMidiDevicesChanged();
      continue;
    }
    if (serverGone_) {
      TraceF("jack: server went away");
      // Every open port is detached before its slot and ring go: it stays
      // closed, and a later server's ports get slots of their own.
      for (auto* in : openIn_) {
        in->Disconnected();
        in->attached_ = false;
        in->slot_ = -1;
      }
      for (auto* out : openOut_) {
        out->DeviceGone();
        out->attached_ = false;
        out->slot_ = -1;
      }
      openIn_.clear();
      openOut_.clear();
      CloseClient();
      lastAttemptMs_ = TimeGetTime();
      NotifyMidiDevicesChanged();
      continue;
    }
    if (xrun_.exchange(false)) {
      TraceF("jack: xrun");
      MidiDeviceNotifier().NotifyServerLate(!openOut_.empty(), !openIn_.empty());
    }
    if (disconnected_.exchange(false)) {
      // A patchbay (or the peer) took our connection away: for us the device
      // is gone, as when it leaves.
      bool gone = false;
      for (auto* in : openIn_)
        if (!jack_port_connected_to(slots_[in->slot_].port, in->peer_.c_str())) {
          in->Disconnected();
          gone = true;
        }
      for (auto* out : openOut_)
        if (!jack_port_connected_to(slots_[out->slot_].port, out->peer_.c_str())) {
          out->DeviceGone();
          gone = true;
        }
      if (gone) NotifyMidiDevicesChanged();
    }
    if (portsChanged_.exchange(false)) {
      // The notification may come before the port is gone: look again for a while.
      checkPeersUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPeerCheckMs);
      NotifyMidiDevicesChanged();
    }
    if (std::chrono::steady_clock::now() < checkPeersUntil_) {
      // A peer that went away takes our connection with it.
      auto gone = [this](const std::string& peer) {
        jack_port_t* port = jack_port_by_name(client_, peer.c_str());
        return !port;
      };
      for (auto* in : openIn_)
        if (gone(in->peer_)) in->Disconnected();
      for (auto* out : openOut_)
        if (gone(out->peer_)) out->DeviceGone();
    }
    for (auto* in : openIn_) {
      TJackSlot& s = slots_[in->slot_];
      // While the input has no free SysEx buffer, what it could not take is
      // held and later events stay in the ring buffer.
      while (in->DeliverHeld()) {
        uint32_t size = 0;
        const size_t available = jack_ringbuffer_read_space(s.ring);
        if (available < sizeof size) break;
        jack_ringbuffer_peek(s.ring, reinterpret_cast<char*>(&size), sizeof size);
        if (size == kGapMarker) {
          if (available < kGapRecordBytes) break;
          uint32_t record[2] = {0, 0};
          jack_ringbuffer_read(s.ring, reinterpret_cast<char*>(record), kGapRecordBytes);
          in->ReportLost(record[1]);
          continue;
        }
        if (available < sizeof size + size) break;
        jack_ringbuffer_read_advance(s.ring, sizeof size);
        in->event_.resize(size);
        jack_ringbuffer_read(s.ring, reinterpret_cast<char*>(in->event_.data()), size);
        in->DeliverOrHold(in->event_.data(), size, SIZE_MAX);
      }
    }
    for (auto* out : openOut_) out->Pump();
  }
}

}  // namespace kalvex
