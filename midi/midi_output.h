#pragma once
// The MIDI output port: short and long (SysEx) messages, the count of long
// messages the driver has not finished yet.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "midi/midi_device_base.h"

namespace kalvex {

class TMidiOutputBase : public TMidiDeviceBase {
public:
  // Called while waiting and between pieces; set continueSending to false to stop.
  using TWaitEvent = std::function<void(TMidiOutputBase& sender, bool& continueSending)>;

  virtual bool SendShort(uint8_t status, uint8_t data1, uint8_t data2) = 0;
  virtual bool SendShortPacked(uint32_t message) = 0;
  virtual bool SendLong(const uint8_t* data, int length) = 0;
  virtual int SendLongChunked(const uint8_t* data, int length, const TWaitEvent& wait) = 0;
};

class TMidiOutput : public TMidiOutputBase {
public:
  static constexpr int kChunkBytes = 1000;        // piece size of SendLongChunked
  static constexpr int kMaxPendingChunks = 10;    // it waits while more are in flight

  TMidiOutput() = default;
  ~TMidiOutput() override;

  // One closed object per device; with includeMapper the mapper (-1) first
  // when there is any device.
  static void EnumerateDevices(std::vector<std::unique_ptr<TMidiOutput>>& list, bool includeMapper);

  void GetDeviceInfo(int id, std::string& interfaceName, std::string& name) override;
  bool IsOutput() const override { return true; }
  int GetNumDevs() const override;
  std::unique_ptr<TMidiDeviceBase> Clone() const override;
  std::string GetTypeName() const override { return "MIDI Out"; }
  bool IsOpen() const override { return handle_ != nullptr; }
  void CloseIfDisconnected() override;

  // Failures only show in the result; nothing is raised or logged.
  bool SendShort(uint8_t status, uint8_t data1, uint8_t data2) override;
  bool SendShortPacked(uint32_t message) override;
  // Copies the data; the caller may reuse it at once.
  bool SendLong(const uint8_t* data, int length) override;
  // Pieces of kChunkBytes; returns the bytes handed to SendLong.
  int SendLongChunked(const uint8_t* data, int length, const TWaitEvent& wait) override;

  int PendingLongCount() const { return pendingLongCount_.load(); }
  // Their bytes: a port may hold the pieces of a SysEx message until its end
  // has come, so a sender that waits should wait on bytes, not on pieces.
  int64_t PendingLongBytes() const { return pendingLongBytes_.load(); }
  bool DriverClosed() const { return driverClosed_.load(); }
  // Drops what the port still queues: every pending long message is
  // reported done (not sent) and the count falls to 0.
  void Reset();

  // The hexadecimal text of every message sent with SendShort or SendLong.
  std::function<void(TMidiOutput& sender, const std::string& text)> OnLog;

protected:
  void DoOpen() override;
  void DoClose() override;

private:
  static void Callback(TMidiPort* port, uint32_t msg, uintptr_t instance, uintptr_t p1,
                       uintptr_t p2);

  std::unique_ptr<TMidiOutPort> handle_;
  std::atomic<int> pendingLongCount_{0};
  std::atomic<int64_t> pendingLongBytes_{0};
  std::atomic<bool> driverClosed_{false};
};

}  // namespace kalvex
