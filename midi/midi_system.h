#pragma once
// The process's MIDI service: every available backend behind one numbered
// device list, and the device-change notification.
//
// Order of the list: ALSA sequencer ports first (hardware), then JACK ports,
// then the built-in loopback cables, each backend in its own order. Numbers
// shift when devices come and go; stored devices are found again by name
// (SameDeviceName), never by number.

#include <QObject>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "midi/midi_service.h"

namespace kalvex {

class TLoopbackService;

// Emits DevicesChanged on the window thread when a backend saw ports come or
// go. Backends call NotifyMidiDevicesChanged from any thread; bursts coalesce.
class TMidiDeviceNotifier : public QObject {
  Q_OBJECT
public:
  void Notify();
  // A service ran late (a JACK xrun) while ports of ours were open: events
  // of that moment may be lost. Any thread; a burst gives one signal.
  void NotifyServerLate(bool output, bool input);
signals:
  void DevicesChanged();
  void ServerLate(bool output, bool input);

private:
  std::atomic<bool> pending_{false};
  std::atomic<unsigned> latePending_{0};  // bit 1: output, bit 2: input
};

// What the user reads when a service ran late while a port of ours was in use.
inline constexpr const char* kServerLateText =
    "Warning: the MIDI server ran late (xrun); events of that moment may be lost.";

// Created on first use; call MidiDeviceNotifier() first on the window thread.
TMidiDeviceNotifier& MidiDeviceNotifier();
void NotifyMidiDevicesChanged();

// Several backends as one service. Asking for a count scans every backend
// once; the numbers then stand, for the capabilities and opens that follow,
// until the next count.
class TMidiSystem final : public TMidiService {
public:
  TMidiSystem();
  ~TMidiSystem() override;
  void AddBackend(std::string name, std::unique_ptr<TMidiService> backend);
  TLoopbackService& Loopback() { return *loopback_; }

  int InGetNumDevs() override;
  int OutGetNumDevs() override;
  uint32_t InGetDevCaps(int id, TMidiDeviceCaps& caps) override;
  uint32_t OutGetDevCaps(int id, TMidiDeviceCaps& caps) override;
  uint32_t InOpen(std::unique_ptr<TMidiInPort>& port, int id, TMidiCallback callback,
                  uintptr_t instance) override;
  uint32_t OutOpen(std::unique_ptr<TMidiOutPort>& port, int id, TMidiCallback callback,
                   uintptr_t instance) override;

private:
  // Finds the backend of a global number; false when out of range.
  bool Locate(bool output, int id, TMidiService*& backend, int& local);

  struct TBackend {
    std::string name;
    std::unique_ptr<TMidiService> service;
    int inputs = -1, outputs = -1;  // at the last count; -1 before the first
  };
  std::vector<TBackend> backends_;
  TLoopbackService* loopback_ = nullptr;
};

// The service the device objects use: the one installed by SetMidiService, or
// the process's TMidiSystem (created on first use, on the window thread).
TMidiService& MidiService();
// Installs a service (tests); nullptr goes back to the system.
void SetMidiService(TMidiService* service);
// The process's built-in loopback cables.
TLoopbackService& LoopbackService();

// The number of the device whose name matches (SameDeviceName) in today's
// list, or -1 when none does. The output mapper is not searched.
int FindDeviceIdByName(bool output, const std::string& name);

// Name and numbering of the output mapper.
inline constexpr const char* kMidiMapperName = "Default MIDI Out";

}  // namespace kalvex
