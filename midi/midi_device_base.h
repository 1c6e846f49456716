#pragma once
// What inputs and outputs have in common: which device is meant, its name,
// open and close with the open-device registry, errors; the buffer-header
// wrappers, the received-event object and the exception classes.

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "midi/midi_service.h"

namespace kalvex {

// 30000 means no device; -1 the output mapper.
constexpr int kNoDevice = 30000;

class EMidiError : public std::runtime_error {
public:
  explicit EMidiError(const std::string& text) : std::runtime_error(text) {}
};

class EMidiOutputError : public EMidiError {
public:
  // The text for the result code, after prefix and a line break when given.
  explicit EMidiOutputError(uint32_t code, const std::string& prefix = {});
  uint32_t ErrorCode;
};

class EMidiInputError : public std::runtime_error {
public:
  explicit EMidiInputError(uint32_t code, const std::string& prefix = {});
  uint32_t ErrorCode;
};

class EVirtualMIDIFeedback : public std::runtime_error {
public:
  explicit EVirtualMIDIFeedback(const std::string& text) : std::runtime_error(text) {}
};

// The message of a device error: "It seems that the MIDI port is already open
// in another application." for code 7, else the platform's text (or
// "Unspecified error"); with a prefix, prefix + CR LF + text.
std::string MidiErrorMessage(uint32_t code, const std::string& prefix);

// Names equal after folding ASCII letters to lower case and removing blanks.
bool SameDeviceName(const std::string& a, const std::string& b);

// One received message. A SysEx message longer than one driver buffer
// arrives as several events; continuations have Status 0xF7.
struct TMyMidiEvent {
  uint8_t Status = 0;
  uint8_t Data1 = 0;
  uint8_t Data2 = 0;
  uint32_t Timestamp = 0;  // ms since the input was started
  int32_t SysExLength = 0;  // 0 for short messages
  std::unique_ptr<uint8_t[]> SysExData;

  int EventLength() const;
};

// A buffer header with its data block; the header's user word points back here.
class TMidiHdrBase {
public:
  explicit TMidiHdrBase(uint32_t size);
  virtual ~TMidiHdrBase() = default;
  TMidiHdrBase(const TMidiHdrBase&) = delete;
  TMidiHdrBase& operator=(const TMidiHdrBase&) = delete;

  TMidiHdr Header;
  static TMidiHdrBase* FromHeader(TMidiHdr* hdr) {
    return hdr ? reinterpret_cast<TMidiHdrBase*>(hdr->User) : nullptr;
  }

private:
  std::unique_ptr<uint8_t[]> data_;
};

class TMidiInHdr : public TMidiHdrBase {
public:
  using TMidiHdrBase::TMidiHdrBase;
  // Prepares once, then queues the buffer; true when queued. LastResult
  // keeps the driver's answer.
  virtual bool AddBuffer(TMidiInPort* port);
  virtual void Unprepare(TMidiInPort* port);
  bool Prepared = false;
  uint32_t LastResult = kMidiNoError;
};

class TMidiOutHdr : public TMidiHdrBase {
public:
  using TMidiHdrBase::TMidiHdrBase;
  virtual bool Prepare(TMidiOutPort* port);
  virtual void Unprepare(TMidiOutPort* port);
};

class TMidiDeviceBase {
public:
  using TErrorEvent = std::function<void(TMidiDeviceBase& sender, const std::string& text)>;

  TMidiDeviceBase() = default;
  virtual ~TMidiDeviceBase() = default;  // derived classes close in their destructor
  TMidiDeviceBase(const TMidiDeviceBase&) = delete;
  TMidiDeviceBase& operator=(const TMidiDeviceBase&) = delete;

  virtual void GetDeviceInfo(int id, std::string& interfaceName, std::string& name) = 0;
  virtual bool IsOutput() const = 0;
  virtual int GetNumDevs() const = 0;
  virtual std::unique_ptr<TMidiDeviceBase> Clone() const = 0;
  virtual void Assign(const TMidiDeviceBase& source);
  virtual std::string GetTypeName() const = 0;
  virtual bool IsOpen() const = 0;
  // Raises EVirtualMIDIFeedback, EMidiInputError or EMidiOutputError; no
  // effect without a device or when already open.
  void Open();
  void Close();
  virtual void CloseIfDisconnected() {}

  // Out-of-range numbers select no device (30000) with empty names.
  void SetDeviceID(int id);
  // Devices were counted again and the open one is now number id: it keeps
  // its port and takes the new number (false when id names another device).
  bool Renumber(int id);
  int DeviceID() const { return deviceId_; }
  const std::string& Name() const { return name_; }
  const std::string& InterfaceName() const { return interfaceName_; }
  const std::string& DisplayName() const { return name_; }
  bool IsClosed() const { return !IsOpen(); }
  void ReportError(const std::string& text);

  TErrorEvent OnError;
  bool DetectMidiLoop = true;

protected:
  virtual void DoOpen() = 0;
  // Closes the open port; no callback of it runs after this returns.
  virtual void DoClose() = 0;

  int deviceId_ = kNoDevice;
  std::string name_;
  std::string interfaceName_;
  std::string registeredName_;  // as the loop check knows the open port
};

}  // namespace kalvex
