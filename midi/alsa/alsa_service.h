#pragma once
// The ALSA sequencer: every readable or writable port of another client is a
// device, named as alsa_names.h says. Opening one creates a port of our own
// and connects it. A thread of our own (the driver thread of this backend)
// reads incoming events into the input state machine, writes queued output
// without ever blocking, and follows the System Announce port for devices
// that come and go. Without a sequencer (no /dev/snd/seq) there are no
// devices, and the reason goes to the trace once.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/midi_service.h"

typedef struct _snd_seq snd_seq_t;
typedef struct snd_seq_event snd_seq_event_t;

namespace kalvex {

class TAlsaInPort;
class TAlsaOutPort;
class TAlsaCodec;

class TAlsaService final : public TMidiService {
public:
  TAlsaService();
  ~TAlsaService() override;

  int InGetNumDevs() override;
  int OutGetNumDevs() override;
  uint32_t InGetDevCaps(int id, TMidiDeviceCaps& caps) override;
  uint32_t OutGetDevCaps(int id, TMidiDeviceCaps& caps) override;
  uint32_t InOpen(std::unique_ptr<TMidiInPort>& port, int id, TMidiCallback callback,
                  uintptr_t instance) override;
  uint32_t OutOpen(std::unique_ptr<TMidiOutPort>& port, int id, TMidiCallback callback,
                   uintptr_t instance) override;

private:
  friend class TAlsaInPort;
  friend class TAlsaOutPort;

  struct TPeer {
    int client = 0;
    int port = 0;
    std::string name;
    bool hardware = false;  // a kernel port in front of a device's raw MIDI buffer
  };

  void Refresh();  // with mutex_ held
  // One scan serves an enumeration of inputs and outputs: the list the other
  // direction did not ask for yet is taken as it is while it is fresh.
  bool TakeFreshList(bool input);  // with mutex_ held
  uint32_t GetDevCaps(const std::vector<TPeer>& peers, int id, TMidiDeviceCaps& caps);
  // Creates a port of ours and connects it with the peer; with mutex_ held.
  uint32_t Connect(bool input, const TPeer& peer, int& mine);
  void Run();
  void ReadInput();    // driver thread
  void DeliverHeld();  // driver thread
  // Driver thread; gives how long it may nap before output can go on.
  int PumpOutput();
  void PeerGone(int client, int port);  // port -1: the whole client
  bool HandleNotice(const snd_seq_event_t& ev);  // driver thread
  void ReadNotices();                            // driver thread
  void Wake();
  void DetachIn(TAlsaInPort* port);
  void DetachOut(TAlsaOutPort* port);

  std::mutex mutex_;
  snd_seq_t* seqIn_ = nullptr;   // input and announcements
  snd_seq_t* seqOut_ = nullptr;  // output and queries
  int announcePort_ = -1;
  std::vector<TPeer> inputs_;
  std::vector<TPeer> outputs_;
  bool freshIn_ = false, freshOut_ = false;
  uint32_t scannedAtMs_ = 0;
  std::map<int, TAlsaInPort*> openIn_;  // by our port number
  std::vector<TAlsaOutPort*> openOut_;
  std::unique_ptr<TAlsaCodec> codec_;
  int portCounter_ = 0;
  int wakePipe_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kalvex
