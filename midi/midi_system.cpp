#include "midi/midi_system.h"

#include <QMetaObject>

#include "midi/loopback/loopback_service.h"
#include "midi/midi_input.h"
#include "midi/midi_output.h"
#include "util/trace.h"
#ifdef KALVEX_HAVE_ALSA
#include "midi/alsa/alsa_service.h"
#endif
#ifdef KALVEX_HAVE_JACK
#include "midi/jack/jack_service.h"
#endif

namespace kalvex {

bool MidiGetErrorText(uint32_t code, std::string& text) {
  switch (code) {
    case kMidiNoError: text = "The operation completed successfully."; return true;
    case kMidiErrUnspecified: text = "An unspecified error occurred."; return true;
    case kMidiErrBadDeviceId: text = "The specified device identifier is out of range."; return true;
    case kMidiErrInvalidHandle: text = "The specified device handle is invalid."; return true;
    case kMidiErrNoDriver: text = "The MIDI service is not available."; return true;
    case kMidiErrAllocated: text = "The specified device is already in use."; return true;
    case kMidiErrNoMemory: text = "Not enough memory for the MIDI service."; return true;
    case kMidiErrInvalidParam: text = "An invalid parameter was passed to the MIDI service."; return true;
    case kMidiErrUnprepared: text = "The buffer has not been prepared."; return true;
    case kMidiErrStillPlaying: text = "The buffer is still in use by the driver."; return true;
    case kMidiErrNoDevice: text = "The MIDI device is no longer connected."; return true;
    default: return false;
  }
}

void TMidiDeviceNotifier::Notify() {
  if (pending_.exchange(true)) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        pending_.store(false);
        emit DevicesChanged();
      },
      Qt::QueuedConnection);
}

void TMidiDeviceNotifier::NotifyServerLate(bool output, bool input) {
  const unsigned bits = (output ? 1u : 0u) | (input ? 2u : 0u);
  if (bits == 0 || latePending_.fetch_or(bits) != 0) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        const unsigned late = latePending_.exchange(0);
        emit ServerLate(late & 1u, late & 2u);
      },
      Qt::QueuedConnection);
}

TMidiDeviceNotifier& MidiDeviceNotifier() {
  // Never destroyed: backends may notify while the process ends.
  static TMidiDeviceNotifier* notifier = new TMidiDeviceNotifier;
  return *notifier;
}

void NotifyMidiDevicesChanged() { MidiDeviceNotifier().Notify(); }

TMidiSystem::TMidiSystem() {
  MidiDeviceNotifier();
#ifdef KALVEX_HAVE_ALSA
  AddBackend("ALSA", std::make_unique<TAlsaService>());
#endif
#ifdef KALVEX_HAVE_JACK
  AddBackend("JACK", std::make_unique<TJackService>());
#endif
  auto loopback = std::make_unique<TLoopbackService>();
  loopback_ = loopback.get();
  AddBackend("Loopback", std::move(loopback));
}

TMidiSystem::~TMidiSystem() = default;

void TMidiSystem::AddBackend(std::string name, std::unique_ptr<TMidiService> backend) {
  backends_.push_back({std::move(name), std::move(backend)});
}

int TMidiSystem::InGetNumDevs() {
  int n = 0;
  for (auto& b : backends_) n += b.inputs = b.service->InGetNumDevs();
  return n;
}

int TMidiSystem::OutGetNumDevs() {
  int n = 0;
  for (auto& b : backends_) n += b.outputs = b.service->OutGetNumDevs();
  return n;
}

bool TMidiSystem::Locate(bool output, int id, TMidiService*& backend, int& local) {
  if (id < 0) return false;
  for (auto& b : backends_) {
    int& count = output ? b.outputs : b.inputs;
    if (count < 0) count = output ? b.service->OutGetNumDevs() : b.service->InGetNumDevs();
    const int n = count;
    if (id < n) {
      backend = b.service.get();
      local = id;
      return true;
    }
    id -= n;
  }
  return false;
}

uint32_t TMidiSystem::InGetDevCaps(int id, TMidiDeviceCaps& caps) {
  TMidiService* backend = nullptr;
  int local = 0;
  if (!Locate(false, id, backend, local)) return kMidiErrBadDeviceId;
  return backend->InGetDevCaps(local, caps);
}

uint32_t TMidiSystem::OutGetDevCaps(int id, TMidiDeviceCaps& caps) {
  if (id == kMidiMapper) {
    // The mapper stands for the first output there is: none, no mapper.
    TMidiService* first = nullptr;
    int local = 0;
    if (!Locate(true, 0, first, local)) return kMidiErrBadDeviceId;
    caps.Name = kMidiMapperName;
    caps.InterfacePath.clear();
    return kMidiNoError;
  }
  TMidiService* backend = nullptr;
  int local = 0;
  if (!Locate(true, id, backend, local)) return kMidiErrBadDeviceId;
  return backend->OutGetDevCaps(local, caps);
}

uint32_t TMidiSystem::InOpen(std::unique_ptr<TMidiInPort>& port, int id, TMidiCallback callback,
                             uintptr_t instance) {
  TMidiService* backend = nullptr;
  int local = 0;
  if (!Locate(false, id, backend, local)) return kMidiErrBadDeviceId;
  return backend->InOpen(port, local, callback, instance);
}

uint32_t TMidiSystem::OutOpen(std::unique_ptr<TMidiOutPort>& port, int id, TMidiCallback callback,
                              uintptr_t instance) {
  // The mapper is the first output there is.
  if (id == kMidiMapper) id = 0;
  TMidiService* backend = nullptr;
  int local = 0;
  if (!Locate(true, id, backend, local)) return kMidiErrBadDeviceId;
  return backend->OutOpen(port, local, callback, instance);
}

namespace {
TMidiService* g_installed = nullptr;

TMidiSystem& System() {
  static TMidiSystem system;
  return system;
}
}  // namespace

TMidiService& MidiService() { return g_installed ? *g_installed : System(); }

void SetMidiService(TMidiService* service) { g_installed = service; }

TLoopbackService& LoopbackService() { return System().Loopback(); }

namespace {
template <class TDevice>
int FindIn(const std::vector<std::unique_ptr<TDevice>>& list, const std::string& name) {
  for (const auto& d : list)
    if (SameDeviceName(d->DisplayName(), name)) return d->DeviceID();
  return -1;
}
}  // namespace

int FindDeviceIdByName(bool output, const std::string& name) {
  if (output) {
    std::vector<std::unique_ptr<TMidiOutput>> list;
    TMidiOutput::EnumerateDevices(list, false);
    return FindIn(list, name);
  }
  std::vector<std::unique_ptr<TMidiInput>> list;
  TMidiInput::EnumerateDevices(list);
  return FindIn(list, name);
}

}  // namespace kalvex
