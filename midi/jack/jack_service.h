#pragma once
// JACK MIDI: where a JACK server runs, every MIDI port of another client is a
// device. Opening one registers a port of our own and connects the two. The
// process callback only copies bytes between the JACK port buffers and
// lock-free ring buffers; a thread of our own (the driver thread of this
// backend) feeds the input state machine and the output ring buffers.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <semaphore.h>

#include "midi/midi_service.h"

typedef struct _jack_client jack_client_t;
typedef struct _jack_port jack_port_t;

namespace kalvex {

class TJackInPort;
class TJackOutPort;
struct TJackSlot;

class TJackService final : public TMidiService {
public:
  static constexpr int kMaxPorts = 64;
  // A SysEx message gathered from its pieces waits at most this long for its
  // end while nothing more comes; then what there is goes out.
  static constexpr uint32_t kStallFlushMs = 1000;

  TJackService();
  ~TJackService() override;

  int InGetNumDevs() override;
  int OutGetNumDevs() override;
  uint32_t InGetDevCaps(int id, TMidiDeviceCaps& caps) override;
  uint32_t OutGetDevCaps(int id, TMidiDeviceCaps& caps) override;
  uint32_t InOpen(std::unique_ptr<TMidiInPort>& port, int id, TMidiCallback callback,
                  uintptr_t instance) override;
  uint32_t OutOpen(std::unique_ptr<TMidiOutPort>& port, int id, TMidiCallback callback,
                   uintptr_t instance) override;

private:
  friend class TJackInPort;
  friend class TJackOutPort;

  bool EnsureClient();  // with mutex_ held
  void CloseClient();   // with mutex_ held
  void RefreshPorts();  // with mutex_ held
  // One scan serves an enumeration of inputs and outputs (see ALSA).
  bool TakeFreshList(bool input);  // with mutex_ held
  uint32_t GetDevCaps(bool input, int id, TMidiDeviceCaps& caps);
  static int Process(uint32_t nframes, void* arg);
  static bool MarkGap(TJackSlot& slot, size_t room);
  static void Shutdown(void* arg);
  static void PortRegistration(uint32_t port, int registered, void* arg);
  static int Xrun(void* arg);
  static void PortConnect(uint32_t a, uint32_t b, int connect, void* arg);
  void Run();
  void ServePorts();  // driver thread, mutex_ held
  int FreeSlot();     // with mutex_ held
  // Registers a port of ours, connects it with the peer and fills a slot (not
  // yet active); with mutex_ held.
  uint32_t Connect(bool input, const std::string& peer, int& slot);
  void ReleaseSlot(int slot);
  void WaitForCycles(uint32_t count);
  void WaitForGraph(jack_port_t* port);  // waits until the process callback no longer uses it
  void DetachIn(TJackInPort* port);
  void DetachOut(TJackOutPort* port);

  std::mutex mutex_;
  std::atomic<jack_client_t*> client_{nullptr};
  int64_t lastAttemptMs_ = -1000000;
  std::vector<std::string> inputs_;   // peers we can read from
  std::vector<std::string> outputs_;  // peers we can write to
  std::vector<std::string> inputNames_;
  std::vector<std::string> outputNames_;
  std::vector<bool> outputsPhysical_;  // bridges to hardware: paced to the wire
  std::atomic<bool> freshIn_{false}, freshOut_{false};  // cleared by port changes
  uint32_t scannedAtMs_ = 0;
  std::vector<TJackInPort*> openIn_;
  std::vector<TJackOutPort*> openOut_;
  int portCounter_ = 0;

  std::unique_ptr<TJackSlot[]> slots_;
  std::atomic<uint32_t> cycles_{0};
  std::atomic<int> inProcess_{0};  // process callbacks running now
  // Output bytes one port may put into one cycle (as the server counts them),
  // and the largest event one port buffer takes.
  size_t cycleBudget_ = SIZE_MAX;
  size_t maxEventBytes_ = 1024;
  std::atomic<bool> serverGone_{false};
  std::atomic<bool> portsChanged_{false};
  std::atomic<bool> xrun_{false};
  std::atomic<bool> disconnected_{false};  // a connection went away
  std::atomic<bool> stop_{false};
  std::chrono::steady_clock::time_point checkPeersUntil_{};
  sem_t wake_;
  std::thread thread_;
};

}  // namespace kalvex
