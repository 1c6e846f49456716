#include "midi/midi_input.h"

#include <QCoreApplication>
#include <QEvent>
#include <algorithm>
#include <cstring>
#include <new>

#include "midi/midi_system.h"
#include "util/trace.h"

namespace kalvex {

namespace {

const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// The hidden object the driver thread posts its wake-up to; it lives on the
// window thread, so the drain runs there.
class TMidiInputWindow final : public QObject {
public:
  explicit TMidiInputWindow(TMidiInput& owner) : owner_(&owner) {}
  void Forget() { owner_ = nullptr; }

protected:
  void customEvent(QEvent* event) override {
    if (event->type() == kWakeEvent && owner_) owner_->Drain();
  }

private:
  TMidiInput* owner_;
};

}  // namespace

// ---- circular buffer -------------------------------------------------------

TMidiInput::TCircBuffer::TCircBuffer(int capacity)
    : records_(static_cast<size_t>(std::max(capacity, 1))), capacity_(std::max(capacity, 1)) {}

TMidiInput::TCircBuffer::~TCircBuffer() {
  for (auto& r : records_) delete r.Event;
}

bool TMidiInput::TCircBuffer::PutShort(uint32_t timestamp, uint32_t message) {
  std::lock_guard lock(lock_);
  if (count_.load(std::memory_order_relaxed) >= capacity_) {
    TraceF("Short Overflow");
    return false;
  }
  TInputRecord& r = records_[static_cast<size_t>(write_)];
  r = {timestamp, message, nullptr, nullptr};
  write_ = (write_ + 1) % capacity_;
  count_.fetch_add(1, std::memory_order_release);
  return true;
}

bool TMidiInput::TCircBuffer::PutLong(uint32_t timestamp, TMidiHdr* header) {
  std::lock_guard lock(lock_);
  if (count_.load(std::memory_order_relaxed) >= capacity_) {
    TraceF("SysEx Overflow");
    return false;
  }
  TInputRecord& r = records_[static_cast<size_t>(write_)];
  r = {timestamp, 0xF0, header, nullptr};
  write_ = (write_ + 1) % capacity_;
  count_.fetch_add(1, std::memory_order_release);
  return true;
}

TMidiInput::TInputRecord* TMidiInput::TCircBuffer::Peek() {
  if (Count() < 1) return nullptr;
  return &records_[static_cast<size_t>(read_)];
}

bool TMidiInput::TCircBuffer::Remove() {
  std::lock_guard lock(lock_);
  if (count_.load(std::memory_order_relaxed) <= 0) return false;
  TInputRecord& r = records_[static_cast<size_t>(read_)];
  delete r.Event;
  r = {};
  read_ = (read_ + 1) % capacity_;
  count_.fetch_sub(1, std::memory_order_release);
  return true;
}

void TMidiInput::TCircBuffer::ForEach(const std::function<void(TInputRecord&)>& visit) {
  int index;
  {
    std::lock_guard lock(lock_);
    index = read_;
  }
  for (int visited = 0; visited < Count(); ++visited) {
    visit(records_[static_cast<size_t>(index)]);
    index = (index + 1) % capacity_;
  }
}

void TMidiInput::TCircBuffer::PurgeConsumed() {
  std::lock_guard lock(lock_);
  while (count_.load(std::memory_order_relaxed) > 0 &&
         records_[static_cast<size_t>(read_)].Message == 0)
    Remove();
}

int TMidiInput::TCircBuffer::WriteIndex() {
  std::lock_guard lock(lock_);
  return write_;
}

// ---- the input -------------------------------------------------------------

TMidiInput::TMidiInput() { cb_.Owner = this; }

TMidiInput::~TMidiInput() { Close(); }

void TMidiInput::EnumerateDevices(std::vector<std::unique_ptr<TMidiInput>>& list) {
  list.clear();
  const int n = MidiService().InGetNumDevs();
  for (int i = 0; i < n; ++i) {
    auto device = std::make_unique<TMidiInput>();
    device->SetDeviceID(i);
    if (!device->DisplayName().empty()) list.push_back(std::move(device));
  }
}

void TMidiInput::GetDeviceInfo(int id, std::string& interfaceName, std::string& name) {
  TMidiDeviceCaps caps;
  if (MidiService().InGetDevCaps(id, caps) != kMidiNoError) {
    name.clear();
    return;
  }
  name = caps.Name;
  interfaceName = caps.InterfacePath.size() <= 2 ? std::string() : caps.InterfacePath;
}

int TMidiInput::GetNumDevs() const { return MidiService().InGetNumDevs(); }

std::unique_ptr<TMidiDeviceBase> TMidiInput::Clone() const {
  auto copy = std::make_unique<TMidiInput>();
  copy->Assign(*this);
  return copy;
}

void TMidiInput::Assign(const TMidiDeviceBase& source) {
  TMidiDeviceBase::Assign(source);
  if (auto* base = dynamic_cast<const TMidiInputBase*>(&source)) {
    OnOverflow = base->OnOverflow;
    OnMalformed = base->OnMalformed;
    OnShortMessage = base->OnShortMessage;
    OnSysExMessage = base->OnSysExMessage;
    SetShortCallback(base->GetShortCallback());
    SetLongCallback(base->GetLongCallback());
    SetActiveSensing(base->GetActiveSensing());
    SetTimingClock(base->GetTimingClock());
  }
  if (auto* input = dynamic_cast<const TMidiInput*>(&source)) {
    OnDataAvailable = input->OnDataAvailable;
    SetSysExOnly(input->SysExOnly());
    RecordCapacity = input->RecordCapacity;
    SysExBufferSize = input->SysExBufferSize;
    SysExBufferCount = input->SysExBufferCount;
  }
}

void TMidiInput::DoOpen() {
  if (OnShortMessage || OnSysExMessage || OnDataAvailable) {
    try {
      if (!cb_.Buffer) cb_.Buffer = std::make_unique<TCircBuffer>(RecordCapacity);
    } catch (const std::bad_alloc&) {
      throw std::runtime_error("Out of memory.");
    }
    if (!cb_.Window) cb_.Window = std::make_unique<TMidiInputWindow>(*this);
  } else {
    cb_.Buffer.reset();
    cb_.Window.reset();
  }
  cb_.Closing = false;
  cb_.Overflowed = false;
  cb_.Malformed = false;
  cb_.WakePosted = false;
  started_ = false;

  std::unique_ptr<TMidiInPort> port;
  const uint32_t result =
      MidiService().InOpen(port, deviceId_, &TMidiInput::Callback, reinterpret_cast<uintptr_t>(&cb_));
  if (result != kMidiNoError) {
    if (port && port->GetID() != kMidiErrInvalidHandle) {
      handle_ = std::move(port);
    } else {
      if (port) port->Close();
      // Nothing of a failed open stays: the next open builds its own.
      cb_.Buffer.reset();
      cb_.Window.reset();
      throw EMidiInputError(result, "Cannot open MIDI input device \"" + DisplayName() + "\":");
    }
  } else {
    handle_ = std::move(port);
  }
  if (SysExBufferCount >= 1 && SysExBufferSize >= 1) {
    for (int i = 0; i < SysExBufferCount; ++i) {
      auto hdr = std::make_unique<TMidiInHdr>(static_cast<uint32_t>(SysExBufferSize));
      hdr->AddBuffer(handle_.get());
      headers_.push_back(std::move(hdr));
    }
  }
}

void TMidiInput::DoClose() {
  const bool wasClosing = cb_.Closing.exchange(true);  // the callback ignores everything now
  std::unique_ptr<TMidiInPort> port = std::move(handle_);
  if (port && !wasClosing) port->Reset();  // queued buffers come back
  if (port) port->Close();  // no callback runs after this
  for (auto& hdr : headers_) hdr->Unprepare(port.get());
  headers_.clear();
  if (cb_.Buffer)
    while (cb_.Buffer->Remove()) {
    }
  // Deleting the hidden object also drops a wake-up still queued for it;
  // when the port is closed from inside its own drain, it goes later.
  if (auto* window = static_cast<TMidiInputWindow*>(cb_.Window.release())) {
    window->Forget();
    if (draining_) window->deleteLater();
    else delete window;
  }
  cb_.Buffer.reset();
  started_ = false;
}

void TMidiInput::CloseIfDisconnected() {
  if (IsOpen() && cb_.Closing) Close();
}

void TMidiInput::Start() {
  if (!handle_) return;
  const uint32_t result = handle_->Start();
  if (result != kMidiNoError) throw EMidiInputError(result);
  started_ = true;
}

void TMidiInput::Stop() {
  if (!handle_ || cb_.Closing) return;
  handle_->Stop();
  started_ = false;
}

int TMidiInput::PendingCount() const {
  return handle_ && cb_.Buffer ? cb_.Buffer->Count() : 0;
}

void TMidiInput::PostWake(TCallbackBlock& block) {
  // One wake-up in flight at a time: a storm of callbacks costs one event.
  if (block.WakePosted.exchange(true)) return;
  QCoreApplication::postEvent(block.Window.get(), new QEvent(kWakeEvent));
}

void TMidiInput::Callback(TMidiPort* port, uint32_t msg, uintptr_t instance, uintptr_t p1,
                          uintptr_t p2) {
  auto* b = reinterpret_cast<TCallbackBlock*>(instance);
  if (!b || b->Closing) return;
  auto* inPort = static_cast<TMidiInPort*>(port);
  const uint32_t timestamp = static_cast<uint32_t>(p2);
  switch (msg) {
    case MIM_CLOSE:
      b->Closing = true;
      return;
    case MIM_ERROR:
      TraceF("input malformed: %zu bytes skipped", static_cast<size_t>(p1));
      b->Malformed = true;
      if (b->Window) PostWake(*b);
      return;
    case MIM_DATA:
    case MIM_MOREDATA: {
      if (msg == MIM_MOREDATA) TraceF("MIM_MOREDATA");
      const uint32_t message = static_cast<uint32_t>(p1);
      if (message == 0xFE && !b->ActiveSensing) return;
      if (message == 0xF8 && !b->TimingClock) return;
      if (b->SysExOnly) return;
      bool handled = false;
      if (b->ShortCallback && msg != MIM_MOREDATA) b->ShortCallback(*b->Owner, message, handled);
      if (handled || !b->Buffer) return;
      if (!b->Buffer->PutShort(timestamp, message)) b->Overflowed = true;
      if (b->Window) PostWake(*b);
      return;
    }
    case MIM_LONGDATA:
    case MIM_LONGERROR: {
      auto* hdr = reinterpret_cast<TMidiHdr*>(p1);
      if (msg == MIM_LONGERROR) TraceF("MIM_LONGERROR len=%u", hdr->BytesRecorded);
      bool handled = false;
      if (b->LongCallback) b->LongCallback(*b->Owner, hdr->Data, hdr->BytesRecorded, handled);
      if (!handled && b->Window && b->Buffer) {
        if (!b->Buffer->PutLong(timestamp, hdr)) {
          b->Overflowed = true;
          // Not stored: give the buffer back at once, or the pool would shrink
          // with every overflow until no SysEx could arrive at all.
          if (auto* wrapper = static_cast<TMidiInHdr*>(TMidiHdrBase::FromHeader(hdr)))
            wrapper->AddBuffer(inPort);
        }
        PostWake(*b);
        return;
      }
      if (auto* wrapper = static_cast<TMidiInHdr*>(TMidiHdrBase::FromHeader(hdr)))
        wrapper->AddBuffer(inPort);
      return;
    }
    case MIM_LOSTDATA:
      // Input the device sent but that could not be kept is reported like a
      // full buffer.
      TraceF("input lost: %zu bytes", static_cast<size_t>(p1));
      b->Overflowed = true;
      if (b->Window) PostWake(*b);
      return;
    case MIM_OPEN:
      return;
    default:
      TraceF("unhandled MIDI INPUT msg: 0x%X", msg);
      return;
  }
}

void TMidiInput::GiveBack(TMidiHdr* header) {
  auto* wrapper = static_cast<TMidiInHdr*>(TMidiHdrBase::FromHeader(header));
  if (!wrapper || !handle_ || cb_.Closing) return;
  if (!wrapper->AddBuffer(handle_.get()) && !cb_.Closing)
    ReportError(EMidiInputError(wrapper->LastResult).what());
}

TMyMidiEvent* TMidiInput::MakeEvent(TInputRecord& record) {
  if (!handle_ || cb_.Closing || record.Message == 0) return nullptr;
  if (record.Event) return record.Event;
  auto event = std::make_unique<TMyMidiEvent>();
  event->Timestamp = record.Timestamp;
  if (record.Header) {
    const uint32_t n = record.Header->BytesRecorded;
    event->SysExLength = static_cast<int32_t>(n);
    if (n > 0) {
      event->SysExData = std::make_unique<uint8_t[]>(n);
      std::memcpy(event->SysExData.get(), record.Header->Data, n);
    }
    event->Status = (n == 0 || record.Header->Data[0] == 0xF0) ? 0xF0 : 0xF7;
  } else {
    event->Status = static_cast<uint8_t>(record.Message);
    event->Data1 = static_cast<uint8_t>(record.Message >> 8);
    event->Data2 = static_cast<uint8_t>(record.Message >> 16);
  }
  record.Event = event.release();
  if (record.Header) GiveBack(record.Header);
  return record.Event;
}

void TMidiInput::DispatchDirect(TInputRecord& record) {
  if (!handle_ || cb_.Closing || record.Message == 0) return;
  if (!record.Header) {
    if (OnShortMessage) {
      const uint32_t message = record.Message;
      record.Message = 0;
      OnShortMessage(*this, message);
    }
    return;
  }
  if (OnSysExMessage) {
    TMidiHdr* hdr = record.Header;
    if (hdr->BytesRecorded > 0) OnSysExMessage(*this, hdr->Data, hdr->BytesRecorded);
    record.Message = 0;
    if (handle_ && !cb_.Closing) GiveBack(hdr);
  }
}

void TMidiInput::Drain() {
  ++draining_;
  struct TLeave {
    int& depth;
    ~TLeave() { --depth; }
  } leave{draining_};
  cb_.WakePosted = false;  // records appended from now on post a new wake-up
  if (cb_.Overflowed.exchange(false) && OnOverflow && IsOpen()) OnOverflow(*this);
  if (cb_.Malformed.exchange(false) && OnMalformed && IsOpen()) OnMalformed(*this);
  if (PendingCount() <= 0) return;
  for (;;) {
    TCircBuffer* buffer = cb_.Buffer.get();
    if (!IsOpen() || cb_.Closing || !buffer) return;
    const int writeIndex = buffer->WriteIndex();
    if (!OnSysExMessage && !OnDataAvailable) {
      buffer->ForEach([this](TInputRecord& r) {
        if (r.Header && r.Header->BytesRecorded > 0) MakeEvent(r);
      });
      if (!IsOpen()) return;
    }
    if (OnShortMessage || OnSysExMessage) {
      buffer->ForEach([this](TInputRecord& r) { DispatchDirect(r); });
      if (!IsOpen() || cb_.Buffer.get() != buffer) return;
      buffer->PurgeConsumed();
    }
    if (OnDataAvailable && PendingCount() > 0) OnDataAvailable(*this);
    // The handler may have closed (or reopened) the port.
    if (!IsOpen() || cb_.Buffer.get() != buffer) return;
    if (buffer->WriteIndex() == writeIndex) return;
  }
}

std::unique_ptr<TMyMidiEvent> TMidiInput::ReadEvent() {
  if (!handle_ || !cb_.Buffer) return nullptr;
  TCircBuffer& buffer = *cb_.Buffer;
  while (!cb_.Closing) {
    TInputRecord* record = buffer.Peek();
    if (!record) return nullptr;
    std::unique_ptr<TMyMidiEvent> event;
    try {
      if (MakeEvent(*record)) {
        event.reset(record->Event);
        record->Event = nullptr;
      }
    } catch (...) {
      buffer.Remove();
      throw;
    }
    buffer.Remove();
    if (event) return event;
  }
  return nullptr;
}

}  // namespace kalvex
