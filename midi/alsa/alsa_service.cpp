#include "midi/alsa/alsa_service.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "midi/alsa/alsa_codec.h"
#include "midi/alsa/alsa_names.h"
#include "midi/midi_in_port_base.h"
#include "midi/midi_out_port_base.h"
#include "midi/midi_system.h"
#include "util/trace.h"
#include "util/clock.h"

namespace kalvex {

static_assert(kAlsaPortTypeHardware == SND_SEQ_PORT_TYPE_HARDWARE);

namespace {
constexpr const char* kClientName = "Kalvex";
// Bytes an input keeps while it has no free SysEx buffer; beyond that, input
// is dropped and reported lost.
constexpr size_t kMaxHeldBytes = 1024 * 1024;
constexpr int kPollMs = 50;
constexpr int kPollHeldMs = 2;
// The kernel's event pool was full: try again after this nap rather than spin.
constexpr int kPoolFullRetryMs = 5;
// How long one scan serves the other direction's count.
constexpr uint32_t kFreshListMs = 1000;

// alsa-lib's own messages go to our trace, not to stderr.
void AlsaError(const char* file, int line, const char* function, int err, const char* fmt, ...) {
  char text[256];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  TraceF("ALSA: %s:%d %s: %s%s%s", file, line, function, text, err ? " " : "", err ? snd_strerror(err) : "");
}
}  // namespace

class TAlsaInPort final : public TMidiInPortBase {
public:
  TAlsaInPort(TAlsaService& service, TMidiCallback callback, uintptr_t instance)
      : TMidiInPortBase(callback, instance, TNoBuffer::Hold), service_(service) {}
  ~TAlsaInPort() override { Close(); }

protected:
  void Detach() override { service_.DetachIn(this); }

private:
  friend class TAlsaService;
  TAlsaService& service_;
  int myPort_ = -1;
  int peerClient_ = -1;
  int peerPort_ = -1;
  bool attached_ = false;
};

class TAlsaOutPort final : public TMidiOutPortBase {
public:
  TAlsaOutPort(TAlsaService& service, TMidiCallback callback, uintptr_t instance)
      : TMidiOutPortBase(callback, instance), service_(service) {}
  ~TAlsaOutPort() override { Close(); }

protected:
  void Wake() override { service_.Wake(); }
  void Detach() override { service_.DetachOut(this); }

private:
  friend class TAlsaService;
  TAlsaService& service_;
  int myPort_ = -1;
  int peerClient_ = -1;
  int peerPort_ = -1;
  bool attached_ = false;
};

TAlsaService::TAlsaService() : codec_(std::make_unique<TAlsaCodec>()) {
  snd_lib_error_set_handler(&AlsaError);
  int err = snd_seq_open(&seqIn_, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK);
  // The output client reads too: the kernel tells a port's owner when another
  // program removes one of its connections.
  if (err >= 0) err = snd_seq_open(&seqOut_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
  if (err < 0) {
    TraceF("ALSA sequencer not available: %s", snd_strerror(err));
    if (seqIn_) snd_seq_close(seqIn_);
    seqIn_ = seqOut_ = nullptr;
    return;
  }
  snd_seq_set_client_name(seqIn_, kClientName);
  snd_seq_set_client_name(seqOut_, kClientName);
  announcePort_ = snd_seq_create_simple_port(
      seqIn_, "announce", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
      SND_SEQ_PORT_TYPE_APPLICATION);
  if (announcePort_ >= 0)
    snd_seq_connect_from(seqIn_, announcePort_, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
  if (pipe2(wakePipe_, O_NONBLOCK | O_CLOEXEC) != 0) wakePipe_[0] = wakePipe_[1] = -1;
  thread_ = std::thread([this] { Run(); });
}

TAlsaService::~TAlsaService() {
  if (thread_.joinable()) {
    stop_ = true;
    Wake();
    thread_.join();
  }
  if (seqIn_) snd_seq_close(seqIn_);
  if (seqOut_) snd_seq_close(seqOut_);
  for (int fd : wakePipe_)
    if (fd >= 0) close(fd);
}

void TAlsaService::Wake() {
  if (wakePipe_[1] >= 0) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = write(wakePipe_[1], &c, 1);
  }
}

void TAlsaService::Refresh() {
  inputs_.clear();
  outputs_.clear();
  if (!seqOut_) return;
  std::vector<TAlsaPortInfo> inInfo;
  std::vector<TAlsaPortInfo> outInfo;
  std::vector<bool> outHardware;
  const int self1 = snd_seq_client_id(seqIn_);
  const int self2 = snd_seq_client_id(seqOut_);
  snd_seq_client_info_t* client;
  snd_seq_port_info_t* port;
  snd_seq_client_info_alloca(&client);
  snd_seq_port_info_alloca(&port);
  snd_seq_client_info_set_client(client, -1);
  while (snd_seq_query_next_client(seqOut_, client) >= 0) {
    const int c = snd_seq_client_info_get_client(client);
    if (c == SND_SEQ_CLIENT_SYSTEM || c == self1 || c == self2) continue;
    std::string cardName;
    const int card = snd_seq_client_info_get_card(client);
    if (card >= 0) {
      char* longName = nullptr;
      if (snd_card_get_longname(card, &longName) >= 0 && longName) {
        cardName = longName;
        free(longName);
      }
    }
    const bool kernel = snd_seq_client_info_get_type(client) == SND_SEQ_KERNEL_CLIENT;
    snd_seq_port_info_set_client(port, c);
    snd_seq_port_info_set_port(port, -1);
    while (snd_seq_query_next_port(seqOut_, port) >= 0) {
      const unsigned caps = snd_seq_port_info_get_capability(port);
      if (caps & SND_SEQ_PORT_CAP_NO_EXPORT) continue;
      TAlsaPortInfo info{c, snd_seq_port_info_get_port(port), snd_seq_client_info_get_name(client),
                         snd_seq_port_info_get_name(port), cardName};
      const unsigned readable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
      const unsigned writable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
      if ((caps & readable) == readable) inInfo.push_back(info);
      if ((caps & writable) == writable) {
        outInfo.push_back(info);
        outHardware.push_back(AlsaPortIsHardware(kernel, snd_seq_port_info_get_type(port)));
      }
    }
  }
  const auto inNames = AlsaDeviceNames(inInfo);
  const auto outNames = AlsaDeviceNames(outInfo);
  for (size_t i = 0; i < inInfo.size(); ++i)
    inputs_.push_back({inInfo[i].client, inInfo[i].port, inNames[i]});
  for (size_t i = 0; i < outInfo.size(); ++i)
    outputs_.push_back({outInfo[i].client, outInfo[i].port, outNames[i], outHardware[i]});
  freshIn_ = freshOut_ = true;
  scannedAtMs_ = TimeGetTime();
}

bool TAlsaService::TakeFreshList(bool input) {
  bool& fresh = input ? freshIn_ : freshOut_;
  const bool taken = fresh && TimeGetTime() - scannedAtMs_ < kFreshListMs;
  fresh = false;
  return taken;
}

int TAlsaService::InGetNumDevs() {
  std::lock_guard lock(mutex_);
  if (!TakeFreshList(true)) {
    Refresh();
    freshIn_ = false;
  }
  return static_cast<int>(inputs_.size());
}

int TAlsaService::OutGetNumDevs() {
  std::lock_guard lock(mutex_);
  if (!TakeFreshList(false)) {
    Refresh();
    freshOut_ = false;
  }
  return static_cast<int>(outputs_.size());
}

uint32_t TAlsaService::GetDevCaps(const std::vector<TPeer>& peers, int id, TMidiDeviceCaps& caps) {
  std::lock_guard lock(mutex_);
  if (id < 0 || id >= static_cast<int>(peers.size())) return kMidiErrBadDeviceId;
  const TPeer& p = peers[static_cast<size_t>(id)];
  caps.Name = p.name;
  caps.InterfacePath = "alsa-seq:" + std::to_string(p.client) + ":" + std::to_string(p.port);
  return kMidiNoError;
}

uint32_t TAlsaService::InGetDevCaps(int id, TMidiDeviceCaps& caps) { return GetDevCaps(inputs_, id, caps); }

uint32_t TAlsaService::OutGetDevCaps(int id, TMidiDeviceCaps& caps) { return GetDevCaps(outputs_, id, caps); }

uint32_t TAlsaService::Connect(bool input, const TPeer& peer, int& mine) {
  snd_seq_t* seq = input ? seqIn_ : seqOut_;
  if (!seq) return kMidiErrNoDriver;
  const std::string name = (input ? "Kalvex In " : "Kalvex Out ") + std::to_string(++portCounter_);
  const unsigned caps = input ? SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE
                              : SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
  mine = snd_seq_create_simple_port(seq, name.c_str(), caps,
                                    SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  if (mine < 0) return kMidiErrNoMemory;
  const int err = input ? snd_seq_connect_from(seq, mine, peer.client, peer.port)
                        : snd_seq_connect_to(seq, mine, peer.client, peer.port);
  if (err < 0) {
    TraceF("ALSA: cannot connect with %d:%d: %s", peer.client, peer.port, snd_strerror(err));
    snd_seq_delete_simple_port(seq, mine);
    return err == -EBUSY ? kMidiErrAllocated : kMidiErrNoDevice;
  }
  return kMidiNoError;
}

uint32_t TAlsaService::InOpen(std::unique_ptr<TMidiInPort>& port, int id, TMidiCallback callback,
                              uintptr_t instance) {
  std::lock_guard lock(mutex_);
  if (id < 0 || id >= static_cast<int>(inputs_.size())) return kMidiErrBadDeviceId;
  const TPeer peer = inputs_[static_cast<size_t>(id)];
  int mine = -1;
  if (const uint32_t result = Connect(true, peer, mine); result != kMidiNoError) return result;
  auto p = std::make_unique<TAlsaInPort>(*this, callback, instance);
  p->myPort_ = mine;
  p->peerClient_ = peer.client;
  p->peerPort_ = peer.port;
  p->attached_ = true;
  openIn_[mine] = p.get();
  port = std::move(p);
  return kMidiNoError;
}

uint32_t TAlsaService::OutOpen(std::unique_ptr<TMidiOutPort>& port, int id, TMidiCallback callback,
                               uintptr_t instance) {
  std::lock_guard lock(mutex_);
  if (id < 0 || id >= static_cast<int>(outputs_.size())) return kMidiErrBadDeviceId;
  const TPeer peer = outputs_[static_cast<size_t>(id)];
  int mine = -1;
  if (const uint32_t result = Connect(false, peer, mine); result != kMidiNoError) return result;
  auto p = std::make_unique<TAlsaOutPort>(*this, callback, instance);
  if (peer.hardware) p->PaceToWire();
  p->myPort_ = mine;
  p->peerClient_ = peer.client;
  p->peerPort_ = peer.port;
  p->attached_ = true;
  openOut_.push_back(p.get());
  port = std::move(p);
  return kMidiNoError;
}

void TAlsaService::DetachIn(TAlsaInPort* port) {
  std::lock_guard lock(mutex_);
  if (!port->attached_) return;
  port->attached_ = false;
  openIn_.erase(port->myPort_);
  snd_seq_delete_simple_port(seqIn_, port->myPort_);
}

void TAlsaService::DetachOut(TAlsaOutPort* port) {
  std::lock_guard lock(mutex_);
  if (!port->attached_) return;
  port->attached_ = false;
  openOut_.erase(std::remove(openOut_.begin(), openOut_.end(), port), openOut_.end());
  snd_seq_delete_simple_port(seqOut_, port->myPort_);
}

void TAlsaService::PeerGone(int client, int port) {
  for (auto& [mine, in] : openIn_)
    if (in->peerClient_ == client && (port < 0 || in->peerPort_ == port)) in->Disconnected();
  for (auto* out : openOut_)
    if (out->peerClient_ == client && (port < 0 || out->peerPort_ == port)) out->DeviceGone();
}

// A notice of the system client; true when the event was one.
bool TAlsaService::HandleNotice(const snd_seq_event_t& ev) {
  if (ev.source.client != SND_SEQ_CLIENT_SYSTEM) return false;
  const TAlsaNotice n = ReadAlsaNotice(ev, snd_seq_client_id(seqIn_), snd_seq_client_id(seqOut_));
  if (n.kind != TAlsaNotice::kNone && n.kind != TAlsaNotice::kUnsubscribed) freshIn_ = freshOut_ = false;
  switch (n.kind) {
    case TAlsaNotice::kNone: break;
    case TAlsaNotice::kChanged: NotifyMidiDevicesChanged(); break;
    case TAlsaNotice::kPortGone:
      PeerGone(n.client, n.port);
      NotifyMidiDevicesChanged();
      break;
    case TAlsaNotice::kClientGone:
      PeerGone(n.client, -1);
      NotifyMidiDevicesChanged();
      break;
    case TAlsaNotice::kUnsubscribed:
      // A patchbay (or aconnect -d) took our connection: for us the device is gone.
      if (n.ourClient == snd_seq_client_id(seqIn_)) {
        auto it = openIn_.find(n.ourPort);
        if (it != openIn_.end() && it->second->peerClient_ == n.client && it->second->peerPort_ == n.port)
          it->second->Disconnected();
      } else {
        for (auto* out : openOut_)
          if (out->myPort_ == n.ourPort && out->peerClient_ == n.client && out->peerPort_ == n.port)
            out->DeviceGone();
      }
      break;
  }
  return true;
}

void TAlsaService::ReadNotices() {
  for (;;) {
    snd_seq_event_t* ev = nullptr;
    const int r = snd_seq_event_input(seqOut_, &ev);
    if (r == -ENOSPC) continue;
    if (r < 0 || !ev) return;
    HandleNotice(*ev);
  }
}

void TAlsaService::ReadInput() {
  uint8_t buffer[16];
  for (;;) {
    snd_seq_event_t* ev = nullptr;
    const int r = snd_seq_event_input(seqIn_, &ev);
    if (r == -EAGAIN || r == -EWOULDBLOCK) return;
    if (r == -ENOSPC) {
      // The kernel's input queue overran: events were lost.
      TraceF("ALSA: input overrun");
      for (auto& [mine, in] : openIn_) in->ReportLost(1);
      continue;
    }
    if (r < 0 || !ev) return;
    if (HandleNotice(*ev)) continue;
    auto it = openIn_.find(ev->dest.port);
    if (it == openIn_.end()) continue;
    const uint8_t* data = nullptr;
    const size_t n = codec_->Decode(*ev, buffer, sizeof buffer, data);
    if (n > 0) it->second->DeliverOrHold(data, n, kMaxHeldBytes);
  }
}

int TAlsaService::PumpOutput() {
  int nap = kPollMs;
  for (auto* out : openOut_) {
    const int mine = out->myPort_;
    bool poolFull = false;
    out->Pump(kAlsaSysExChunk, [this, mine, &poolFull](const uint8_t* data, size_t size, bool sysExPiece) {
      snd_seq_event_t ev;
      if (!codec_->Encode(data, size, sysExPiece, ev)) return true;  // nothing to send
      snd_seq_ev_set_source(&ev, mine);
      snd_seq_ev_set_subs(&ev);
      snd_seq_ev_set_direct(&ev);
      const int r = snd_seq_event_output_direct(seqOut_, &ev);
      if (r == -EAGAIN) {  // the kernel's pool is full: later
        poolFull = true;
        return false;
      }
      if (r < 0) TraceF("ALSA: event not sent: %s", snd_strerror(r));
      return true;
    });
    if (poolFull) nap = std::min(nap, kPoolFullRetryMs);
    const uint32_t paced = out->MsUntilPacerReady();
    if (paced != TMidiOutPortBase::kNoWait) nap = std::min(nap, static_cast<int>(std::max<uint32_t>(paced, 1)));
  }
  return nap;
}

void TAlsaService::Run() {
  std::vector<pollfd> fds;
  for (;;) {
    if (stop_) return;
    bool holding = false;
    int nap = kPollMs;
    {
      std::lock_guard lock(mutex_);
      for (auto& [mine, in] : openIn_) {
        in->DeliverHeld();
        holding = holding || in->Holding();
      }
      // Output that waits (for the pacer, or for room in the kernel's pool)
      // goes on after a nap; waiting for POLLOUT would return at once while
      // the pacer holds bytes back.
      nap = PumpOutput();
    }
    fds.clear();
    fds.push_back({wakePipe_[0], POLLIN, 0});
    for (snd_seq_t* seq : {seqIn_, seqOut_}) {
      const int count = snd_seq_poll_descriptors_count(seq, POLLIN);
      const size_t at = fds.size();
      fds.resize(at + static_cast<size_t>(count));
      snd_seq_poll_descriptors(seq, fds.data() + at, static_cast<unsigned>(count), POLLIN);
    }
    poll(fds.data(), fds.size(), holding ? std::min(nap, kPollHeldMs) : nap);
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (read(wakePipe_[0], drain, sizeof drain) > 0) {
      }
    }
    std::lock_guard lock(mutex_);
    ReadInput();
    ReadNotices();
  }
}

}  // namespace kalvex
