#pragma once
// The MIDI input port. The driver thread filters incoming messages and keeps
// fixed-size records in a circular buffer under one lock, then wakes the
// window thread through the Qt event loop; there the records become
// TMyMidiEvent objects (ReadEvent) or go to direct events. SysEx arrives in a
// pool of driver buffers that go back to the driver once their data is copied.

#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "midi/midi_device_base.h"

namespace kalvex {

class TMidiInputBase : public TMidiDeviceBase {
public:
  // Driver-thread hooks: they run on the driver thread and must not touch
  // the window; set handled to keep the message from the buffer.
  using TShortHook = std::function<void(TMidiInputBase& sender, uint32_t message, bool& handled)>;
  using TLongHook =
      std::function<void(TMidiInputBase& sender, const uint8_t* data, uint32_t length, bool& handled)>;

  // Window-thread events.
  std::function<void(TMidiInputBase& sender)> OnOverflow;
  // Bytes that belong to no message arrived and were skipped.
  std::function<void(TMidiInputBase& sender)> OnMalformed;
  std::function<void(TMidiInputBase& sender, uint32_t message)> OnShortMessage;
  // The data is valid only during the call.
  std::function<void(TMidiInputBase& sender, const uint8_t* data, uint32_t length)> OnSysExMessage;

  virtual void SetShortCallback(TShortHook hook) = 0;
  virtual TShortHook GetShortCallback() const = 0;
  virtual TLongHook GetLongCallback() const = 0;
  virtual void SetLongCallback(TLongHook hook) = 0;
  virtual bool GetActiveSensing() const = 0;
  virtual bool GetTimingClock() const = 0;
  virtual void SetActiveSensing(bool on) = 0;
  virtual void SetTimingClock(bool on) = 0;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  virtual bool IsStarted() const = 0;
};

class TMidiInput : public TMidiInputBase {
public:
  static constexpr int kDefaultRecordCapacity = 1024;
  static constexpr int kDefaultSysExBufferSize = 1024;
  static constexpr int kDefaultSysExBufferCount = 16;

  TMidiInput();
  ~TMidiInput() override;

  static void EnumerateDevices(std::vector<std::unique_ptr<TMidiInput>>& list);

  void GetDeviceInfo(int id, std::string& interfaceName, std::string& name) override;
  bool IsOutput() const override { return false; }
  int GetNumDevs() const override;
  std::unique_ptr<TMidiDeviceBase> Clone() const override;
  void Assign(const TMidiDeviceBase& source) override;
  std::string GetTypeName() const override { return "MIDI In"; }
  bool IsOpen() const override { return handle_ != nullptr; }
  // Closes the port when the driver reported the device gone.
  void CloseIfDisconnected() override;

  void SetShortCallback(TShortHook hook) override { cb_.ShortCallback = std::move(hook); }
  TShortHook GetShortCallback() const override { return cb_.ShortCallback; }
  TLongHook GetLongCallback() const override { return cb_.LongCallback; }
  void SetLongCallback(TLongHook hook) override { cb_.LongCallback = std::move(hook); }
  bool GetActiveSensing() const override { return cb_.ActiveSensing; }
  bool GetTimingClock() const override { return cb_.TimingClock; }
  void SetActiveSensing(bool on) override { cb_.ActiveSensing = on; }
  void SetTimingClock(bool on) override { cb_.TimingClock = on; }
  // Raises EMidiInputError when the driver refuses.
  void Start() override;
  void Stop() override;
  bool IsStarted() const override { return started_; }

  void SetSysExOnly(bool on) { cb_.SysExOnly = on; }
  bool SysExOnly() const { return cb_.SysExOnly; }

  // Records waiting to be read.
  int PendingCount() const;
  // The next event, or none; the caller owns it.
  std::unique_ptr<TMyMidiEvent> ReadEvent();

  // Records are waiting; raised on the window thread.
  std::function<void(TMidiInput& sender)> OnDataAvailable;

  int RecordCapacity = kDefaultRecordCapacity;
  int SysExBufferSize = kDefaultSysExBufferSize;
  int SysExBufferCount = kDefaultSysExBufferCount;

  // Runs what the wake-up would run; for the hidden object.
  void Drain();

protected:
  void DoOpen() override;
  void DoClose() override;

private:
  struct TInputRecord {
    uint32_t Timestamp = 0;
    uint32_t Message = 0;  // packed short message, 0xF0 for SysEx, 0 once consumed
    TMidiHdr* Header = nullptr;
    TMyMidiEvent* Event = nullptr;  // owned
  };

  class TCircBuffer {
  public:
    explicit TCircBuffer(int capacity);
    ~TCircBuffer();
    bool PutShort(uint32_t timestamp, uint32_t message);
    bool PutLong(uint32_t timestamp, TMidiHdr* header);
    TInputRecord* Peek();
    bool Remove();
    // Visits records oldest first, also those appended meanwhile.
    void ForEach(const std::function<void(TInputRecord&)>& visit);
    void PurgeConsumed();
    int Count() const { return count_.load(std::memory_order_acquire); }
    int WriteIndex();

  private:
    std::vector<TInputRecord> records_;
    int write_ = 0;
    int read_ = 0;
    int capacity_;
    std::atomic<int> count_{0};
    std::recursive_mutex lock_;  // the TLock
  };

  // What the driver thread sees.
  struct TCallbackBlock {
    TMidiInput* Owner = nullptr;
    std::unique_ptr<TCircBuffer> Buffer;
    std::unique_ptr<QObject> Window;
    std::atomic<bool> SysExOnly{false};
    std::atomic<bool> ActiveSensing{false};
    std::atomic<bool> TimingClock{true};
    std::atomic<bool> Closing{false};
    std::atomic<bool> Overflowed{false};
    std::atomic<bool> Malformed{false};
    std::atomic<bool> WakePosted{false};
    TShortHook ShortCallback;
    TLongHook LongCallback;
  };

  static void Callback(TMidiPort* port, uint32_t msg, uintptr_t instance, uintptr_t p1,
                       uintptr_t p2);
  static void PostWake(TCallbackBlock& block);
  // The event of a record (made once); gives a SysEx buffer back.
  TMyMidiEvent* MakeEvent(TInputRecord& record);
  void DispatchDirect(TInputRecord& record);
  void GiveBack(TMidiHdr* header);

  std::unique_ptr<TMidiInPort> handle_;
  bool started_ = false;
  int draining_ = 0;  // depth of Drain calls on the stack
  TCallbackBlock cb_;
  std::vector<std::unique_ptr<TMidiInHdr>> headers_;
};

}  // namespace kalvex
