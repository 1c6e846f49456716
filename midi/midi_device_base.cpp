#include "midi/midi_device_base.h"

#include <cstring>

#include "midi/midi_loop_check.h"
#include "util/trace.h"
#include "util/midi_message.h"
#include "util/ascii.h"

namespace kalvex {

std::string MidiErrorMessage(uint32_t code, const std::string& prefix) {
  std::string text;
  if (code == kMidiErrAllocated) {
    text = "It seems that the MIDI port is already open in another application.";
  } else if (!MidiGetErrorText(code, text)) {
    text = "Unspecified error";
  }
  return prefix.empty() ? text : prefix + "\r\n" + text;
}

EMidiOutputError::EMidiOutputError(uint32_t code, const std::string& prefix)
    : EMidiError(MidiErrorMessage(code, prefix)), ErrorCode(code) {}

EMidiInputError::EMidiInputError(uint32_t code, const std::string& prefix)
    : std::runtime_error(MidiErrorMessage(code, prefix)), ErrorCode(code) {}

bool SameDeviceName(const std::string& a, const std::string& b) {
  auto fold = [](const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s)
      if (c != ' ') out += FoldAscii(c);
    return out;
  };
  return fold(a) == fold(b);
}

int TMyMidiEvent::EventLength() const {
  return SysExLength != 0 ? SysExLength : MessageLength(Status);
}

TMidiHdrBase::TMidiHdrBase(uint32_t size) {
  if (size != 0) {
    data_ = std::make_unique<uint8_t[]>(size);
    Header.Data = data_.get();
    Header.BufferLength = size;
  }
  Header.User = reinterpret_cast<uintptr_t>(this);
}

bool TMidiInHdr::AddBuffer(TMidiInPort* port) {
  if (!port) {
    LastResult = kMidiErrInvalidHandle;
    return false;
  }
  if (!Prepared) {
    Header.Flags = 0;
    LastResult = port->PrepareHeader(&Header);
    if (LastResult != kMidiNoError) return false;
    Prepared = true;
  }
  Header.BytesRecorded = 0;
  LastResult = port->AddBuffer(&Header);
  return LastResult == kMidiNoError;
}

void TMidiInHdr::Unprepare(TMidiInPort* port) {
  if (port) port->UnprepareHeader(&Header);
  Prepared = false;
}

bool TMidiOutHdr::Prepare(TMidiOutPort* port) {
  return port && port->PrepareHeader(&Header) == kMidiNoError;
}

void TMidiOutHdr::Unprepare(TMidiOutPort* port) {
  if (port) port->UnprepareHeader(&Header);
}

void TMidiDeviceBase::Assign(const TMidiDeviceBase& source) {
  deviceId_ = source.deviceId_;
  name_ = source.name_;
  interfaceName_ = source.interfaceName_;
  OnError = source.OnError;
  DetectMidiLoop = source.DetectMidiLoop;
}

void TMidiDeviceBase::SetDeviceID(int id) {
  if (IsOpen())
    TraceF("change MIDI port by ID while device is open -- will take effect with next open.");
  // Numbers are those of the last count (an enumeration): no scan per number.
  // A number the service does not know has no name.
  // The mapper's number stays also where it has no name (inputs).
  if (id == kMidiMapper || id >= 0) {
    GetDeviceInfo(id, interfaceName_, name_);
    if (!name_.empty() || id == kMidiMapper) {
      deviceId_ = id;
      return;
    }
  }
  deviceId_ = kNoDevice;
  name_.clear();
  interfaceName_.clear();
}

bool TMidiDeviceBase::Renumber(int id) {
  std::string interfaceName, name;
  GetDeviceInfo(id, interfaceName, name);
  if (name.empty() || !SameDeviceName(name, name_)) return false;
  deviceId_ = id;
  return true;
}

void TMidiDeviceBase::Open() {
  if (deviceId_ == kNoDevice || IsOpen()) return;
  if (DetectMidiLoop && WouldCreateFeedbackLoop(IsOutput(), DisplayName()))
    throw EVirtualMIDIFeedback("Opening \"" + DisplayName() + "\" would create a virtual feedback loop !");
  TraceF("Opening %s device %s", GetTypeName().c_str(), name_.c_str());
  DoOpen();
  registeredName_ = DisplayName();
  RegisterOpenDevice(IsOutput(), registeredName_);
}

// The name registered at open goes, also when the number changed meanwhile.
void TMidiDeviceBase::Close() {
  if (IsOpen()) DoClose();
  if (!registeredName_.empty()) UnregisterOpenDevice(IsOutput(), registeredName_);
  registeredName_.clear();
}

void TMidiDeviceBase::ReportError(const std::string& text) {
  if (OnError) OnError(*this, text);
}

}  // namespace kalvex
