#pragma once
// Built-in virtual cables: each cable is an output and an input of the same
// name, and what is sent to the output arrives at the input. It behaves like
// a driver: callbacks come on a thread of its own, SysEx lands in the input's
// queued buffers piece by piece, MOM_DONE follows each long message. Unlike
// a wire it holds the sender back (up to kBufferWaitMs) while the input has
// no free SysEx buffer, so nothing is lost while the reader keeps up.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/midi_service.h"

namespace kalvex {

class TLoopbackInPort;
class TLoopbackOutPort;

class TLoopbackService final : public TMidiService {
public:
  static constexpr uint32_t kBufferWaitMs = 2000;
  static constexpr const char* kDefaultCables[] = {"Kalvex Loopback 1", "Kalvex Loopback 2"};

  TLoopbackService();
  ~TLoopbackService() override;

  // Adds a cable at the end of the list; false when the name is taken.
  bool AddCable(const std::string& name);
  // Removes a cable; its open ends learn it (MIM_CLOSE, MOM_CLOSE) after what
  // was already sent. False when there is no such cable.
  bool RemoveCable(const std::string& name);
  std::vector<std::string> CableNames() const;

  int InGetNumDevs() override;
  int OutGetNumDevs() override;
  uint32_t InGetDevCaps(int id, TMidiDeviceCaps& caps) override;
  uint32_t OutGetDevCaps(int id, TMidiDeviceCaps& caps) override;
  uint32_t InOpen(std::unique_ptr<TMidiInPort>& port, int id, TMidiCallback callback,
                  uintptr_t instance) override;
  uint32_t OutOpen(std::unique_ptr<TMidiOutPort>& port, int id, TMidiCallback callback,
                   uintptr_t instance) override;

private:
  friend class TLoopbackInPort;
  friend class TLoopbackOutPort;

  struct TCable {
    std::string name;
    TLoopbackInPort* in = nullptr;
    TLoopbackOutPort* out = nullptr;
    std::atomic<bool> removed{false};
  };
  enum class TItemKind { Short, Long, Disconnect };
  struct TItem {
    TItemKind kind;
    std::shared_ptr<TCable> cable;
    TLoopbackOutPort* from = nullptr;
    uint32_t packed = 0;
    TMidiHdr* hdr = nullptr;
  };

  void Run();
  void Process(TItem& item, std::unique_lock<std::mutex>& lock);
  uint32_t Enqueue(TItem item);
  void DetachIn(TLoopbackInPort* port);
  // Takes back every long message of the port and waits until the driver
  // thread no longer works for it; returns the headers to report done.
  std::vector<TMidiHdr*> ResetOut(TLoopbackOutPort* port);
  // True while items the port sent wait or are being delivered.
  bool Queued(const TLoopbackOutPort* port);
  void DetachOut(TLoopbackOutPort* port);

  mutable std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable idle_;
  std::vector<std::shared_ptr<TCable>> cables_;
  std::deque<TItem> queue_;
  TLoopbackInPort* deliveringTo_ = nullptr;
  TLoopbackOutPort* deliveringFrom_ = nullptr;
  std::atomic<bool> abortCurrent_{false};
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace kalvex
