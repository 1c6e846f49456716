#pragma once
// The one platform MIDI interface every backend implements (loopback, ALSA
// sequencer, JACK): device enumeration, open ports, buffer headers and the
// callback messages ports send on their driver thread. Result 0 is success.

#include <cstdint>
#include <memory>
#include <string>

namespace kalvex {

// Result codes.
constexpr uint32_t kMidiNoError = 0;
constexpr uint32_t kMidiErrUnspecified = 1;
constexpr uint32_t kMidiErrBadDeviceId = 2;
constexpr uint32_t kMidiErrInvalidHandle = 5;
constexpr uint32_t kMidiErrNoDriver = 6;
constexpr uint32_t kMidiErrAllocated = 7;  // the device is already open elsewhere
constexpr uint32_t kMidiErrNoMemory = 8;
constexpr uint32_t kMidiErrInvalidParam = 11;
constexpr uint32_t kMidiErrUnprepared = 64;
constexpr uint32_t kMidiErrStillPlaying = 65;
constexpr uint32_t kMidiErrNoDevice = 68;  // the device went away

// Callback messages of an input port.
constexpr uint32_t MIM_OPEN = 0x3C1;
constexpr uint32_t MIM_CLOSE = 0x3C2;      // the device went away
constexpr uint32_t MIM_DATA = 0x3C3;       // p1 packed short message, p2 time stamp
constexpr uint32_t MIM_LONGDATA = 0x3C4;   // p1 header, p2 time stamp
// p1 bytes that belong to no message were skipped (a data byte without a
// status, an F7 without an F0, a message cut short by a status byte), p2
// time stamp: the sender's fault, apart from input that was lost.
constexpr uint32_t MIM_ERROR = 0x3C5;
// p1 header of a SysEx piece whose message ends here unfinished: cut short by
// a status byte, or bytes of it were lost; p2 time stamp.
constexpr uint32_t MIM_LONGERROR = 0x3C6;
constexpr uint32_t MIM_MOREDATA = 0x3CC;
// Our addition: p1 bytes of input were lost (no free SysEx buffer, or the
// system dropped input), p2 time stamp.
constexpr uint32_t MIM_LOSTDATA = 0x3D0;
// Callback messages of an output port.
constexpr uint32_t MOM_OPEN = 0x3C7;
constexpr uint32_t MOM_CLOSE = 0x3C8;  // the device went away
constexpr uint32_t MOM_DONE = 0x3C9;   // p1 header of a finished long message

// Header flags.
constexpr uint32_t kMhdrDone = 1;
constexpr uint32_t kMhdrPrepared = 2;
constexpr uint32_t kMhdrInQueue = 4;

// A buffer header, as drivers know it.
struct TMidiHdr {
  uint8_t* Data = nullptr;
  uint32_t BufferLength = 0;
  uint32_t BytesRecorded = 0;
  uintptr_t User = 0;  // the wrapper object that owns the header
  uint32_t Flags = 0;
  TMidiHdr* Next = nullptr;  // the driver's queue link
};

class TMidiPort;
// Called on a driver thread: port, message, instance word given at open, p1, p2.
using TMidiCallback = void (*)(TMidiPort* port, uint32_t msg, uintptr_t instance, uintptr_t p1,
                               uintptr_t p2);

// An open port. Closing waits until no callback of the port runs any more;
// after Close() no callback comes.
class TMidiPort {
public:
  virtual ~TMidiPort() = default;
  virtual uint32_t Close() = 0;
  // kMidiErrInvalidHandle when the port is unusable.
  virtual uint32_t GetID() = 0;
};

class TMidiInPort : public TMidiPort {
public:
  virtual uint32_t PrepareHeader(TMidiHdr* hdr) = 0;
  virtual uint32_t UnprepareHeader(TMidiHdr* hdr) = 0;
  virtual uint32_t AddBuffer(TMidiHdr* hdr) = 0;
  virtual uint32_t Start() = 0;
  virtual uint32_t Stop() = 0;
  // Every queued buffer comes back as done (MIM_LONGDATA).
  virtual uint32_t Reset() = 0;
};

class TMidiOutPort : public TMidiPort {
public:
  // status in the low byte
  virtual uint32_t ShortMsg(uint32_t packed) = 0;
  virtual uint32_t PrepareHeader(TMidiHdr* hdr) = 0;
  virtual uint32_t UnprepareHeader(TMidiHdr* hdr) = 0;
  // Completion comes as MOM_DONE once the message was delivered; a refused
  // header gets none.
  virtual uint32_t LongMsg(TMidiHdr* hdr) = 0;
  // Every pending long message comes back as done before this returns.
  virtual uint32_t Reset() = 0;
  // Close first delivers what was queued (for a bounded time; the loopback
  // cable drops it at once), then reports every long message still pending
  // done, as Reset does.
};

struct TMidiDeviceCaps {
  std::string Name;           // what a user recognises
  std::string InterfacePath;  // where the backend finds the device
};

class TMidiService {
public:
  virtual ~TMidiService() = default;
  virtual int InGetNumDevs() = 0;
  virtual int OutGetNumDevs() = 0;
  virtual uint32_t InGetDevCaps(int id, TMidiDeviceCaps& caps) = 0;
  virtual uint32_t OutGetDevCaps(int id, TMidiDeviceCaps& caps) = 0;
  virtual uint32_t InOpen(std::unique_ptr<TMidiInPort>& port, int id, TMidiCallback callback,
                          uintptr_t instance) = 0;
  virtual uint32_t OutOpen(std::unique_ptr<TMidiOutPort>& port, int id, TMidiCallback callback,
                           uintptr_t instance) = 0;
};

// The platform's text for a result code; false for a code it does not know.
bool MidiGetErrorText(uint32_t code, std::string& text);

// Device number of the output mapper.
constexpr int kMidiMapper = -1;

}  // namespace kalvex
