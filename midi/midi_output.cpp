#include "midi/midi_output.h"

#include <cstring>

#include "midi/midi_system.h"
#include "util/trace.h"

namespace kalvex {

namespace {
constexpr char kHex[] = "0123456789ABCDEF";

std::string HexBytes(const uint8_t* data, size_t n, bool separated) {
  std::string text;
  text.reserve(n * 3);
  for (size_t i = 0; i < n; ++i) {
    if (separated && i > 0) text += ' ';
    text += kHex[data[i] >> 4];
    text += kHex[data[i] & 0x0F];
  }
  return text;
}
}  // namespace

TMidiOutput::~TMidiOutput() { Close(); }

void TMidiOutput::EnumerateDevices(std::vector<std::unique_ptr<TMidiOutput>>& list,
                                   bool includeMapper) {
  list.clear();
  const int n = MidiService().OutGetNumDevs();
  for (int i = 0; i < n; ++i) {
    auto device = std::make_unique<TMidiOutput>();
    device->SetDeviceID(i);
    if (!device->DisplayName().empty()) list.push_back(std::move(device));
  }
  if (includeMapper && !list.empty()) {
    auto mapper = std::make_unique<TMidiOutput>();
    mapper->SetDeviceID(kMidiMapper);
    list.insert(list.begin(), std::move(mapper));
  }
}

void TMidiOutput::GetDeviceInfo(int id, std::string& interfaceName, std::string& name) {
  TMidiDeviceCaps caps;
  if (MidiService().OutGetDevCaps(id, caps) != kMidiNoError) {
    name.clear();
    return;
  }
  name = caps.Name;
  interfaceName = caps.InterfacePath.size() <= 2 ? std::string() : caps.InterfacePath;
}

int TMidiOutput::GetNumDevs() const { return MidiService().OutGetNumDevs(); }

std::unique_ptr<TMidiDeviceBase> TMidiOutput::Clone() const {
  auto copy = std::make_unique<TMidiOutput>();
  copy->Assign(*this);
  return copy;
}

void TMidiOutput::DoOpen() {
  driverClosed_ = false;
  std::unique_ptr<TMidiOutPort> port;
  const uint32_t result =
      MidiService().OutOpen(port, deviceId_, &TMidiOutput::Callback, reinterpret_cast<uintptr_t>(this));
  if (result != kMidiNoError) {
    // Some drivers report an error yet hand out a working port; asking for
    // its id tells, without sending anything.
    if (port && port->GetID() != kMidiErrInvalidHandle) {
      handle_ = std::move(port);
      return;
    }
    if (port) port->Close();
    throw EMidiOutputError(result, "Cannot open MIDI output device \"" + DisplayName() + "\":");
  }
  handle_ = std::move(port);
}

void TMidiOutput::DoClose() {
  std::unique_ptr<TMidiOutPort> port = std::move(handle_);
  if (!port) return;
  // The port delivers what is queued first (bounded), then reports every
  // long message still pending done, which frees their wrappers; the ports
  // do that even after the device vanished. A Reset here would drop a
  // message sent just before the close.
  port->Close();
}

void TMidiOutput::Reset() {
  if (handle_) handle_->Reset();
}

void TMidiOutput::CloseIfDisconnected() {
  if (IsOpen() && driverClosed_) Close();
}

bool TMidiOutput::SendShort(uint8_t status, uint8_t data1, uint8_t data2) {
  const uint32_t packed = status | (uint32_t(data1) << 8) | (uint32_t(data2) << 16);
  const bool ok = handle_ && handle_->ShortMsg(packed) == kMidiNoError;
  if (OnLog) {
    const uint8_t bytes[3] = {status, data1, data2};
    OnLog(*this, HexBytes(bytes, 3, true));
  }
  return ok;
}

bool TMidiOutput::SendShortPacked(uint32_t message) {
  return handle_ && handle_->ShortMsg(message) == kMidiNoError;
}

bool TMidiOutput::SendLong(const uint8_t* data, int length) {
  if (!handle_ || length < 1 || !data || driverClosed_) return false;
  auto wrapper = std::make_unique<TMidiOutHdr>(static_cast<uint32_t>(length));
  std::memcpy(wrapper->Header.Data, data, static_cast<size_t>(length));
  if (!wrapper->Prepare(handle_.get())) return false;
  // Counted before submission: the completion may come before LongMsg returns.
  pendingLongCount_.fetch_add(1);
  pendingLongBytes_.fetch_add(length);
  TMidiOutHdr* raw = wrapper.release();  // the driver owns it until MOM_DONE
  const bool accepted = handle_->LongMsg(&raw->Header) == kMidiNoError;
  if (!accepted) {
    // A refused header gets no completion: take it back and uncount it.
    pendingLongCount_.fetch_sub(1);
    pendingLongBytes_.fetch_sub(length);
    raw->Unprepare(handle_.get());
    delete raw;
  }
  if (OnLog) OnLog(*this, HexBytes(data, static_cast<size_t>(length), false));
  return accepted;
}

int TMidiOutput::SendLongChunked(const uint8_t* data, int length, const TWaitEvent& wait) {
  int sent = 0;
  int piece = kChunkBytes;
  bool continueSending = true;
  while (length > 0 && !driverClosed_) {
    while (pendingLongCount_ > kMaxPendingChunks) {
      if (wait) wait(*this, continueSending);
      if (!continueSending) return sent;
    }
    if (length < kChunkBytes) piece = length;
    SendLong(data, piece);
    length -= piece;
    data += piece;
    sent += piece;
    if (length > 0) {
      if (wait) wait(*this, continueSending);
      if (!continueSending) return sent;
    }
  }
  return sent;
}

void TMidiOutput::Callback(TMidiPort* port, uint32_t msg, uintptr_t instance, uintptr_t p1,
                           uintptr_t) {
  auto* self = reinterpret_cast<TMidiOutput*>(instance);
  if (!self) return;
  switch (msg) {
    case MOM_CLOSE:
      self->driverClosed_ = true;
      break;
    case MOM_DONE: {
      int count = self->pendingLongCount_.load();
      while (count > 0 && !self->pendingLongCount_.compare_exchange_weak(count, count - 1)) {
      }
      auto* wrapper = static_cast<TMidiOutHdr*>(TMidiHdrBase::FromHeader(reinterpret_cast<TMidiHdr*>(p1)));
      if (wrapper) {
        self->pendingLongBytes_.fetch_sub(wrapper->Header.BufferLength);
        wrapper->Unprepare(static_cast<TMidiOutPort*>(port));
        delete wrapper;
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace kalvex
