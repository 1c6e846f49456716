#pragma once
// Names of ALSA sequencer ports as a user knows them. Pure functions, so
// they can be tested without a sequencer.

#include <string>
#include <vector>

namespace kalvex {

struct TAlsaPortInfo {
  int client = 0;
  int port = 0;
  std::string clientName;
  std::string portName;
  std::string cardLongName;  // empty for ports without a sound card
};

// True for names that say nothing about the device: "MIDI 1", "Port 1",
// "<client name> MIDI 1", "<client name> Port 1".
bool IsGenericAlsaPortName(const std::string& portName, const std::string& clientName);

// The card's long name without its bus location ("... at usb-0000:00:14.0-2, full speed").
std::string AlsaCardNameWithoutLocation(const std::string& longName);

// One name per port, same order: the port name, or the card's name where the
// port name is generic; where names would look alike, "client: port"; where
// they still do, the sequencer address is added ("name [20:0]").
std::vector<std::string> AlsaDeviceNames(const std::vector<TAlsaPortInfo>& ports);

// The port type bit of ports in front of real MIDI hardware (SND_SEQ_PORT_TYPE_HARDWARE).
constexpr unsigned kAlsaPortTypeHardware = 1u << 16;

// Ports whose events the kernel copies into a device's raw MIDI buffer (and
// drops what does not fit): a kernel client's hardware ports. Midi Through
// and other software ports are not.
inline bool AlsaPortIsHardware(bool kernelClient, unsigned portType) {
  return kernelClient && (portType & kAlsaPortTypeHardware) != 0;
}

}  // namespace kalvex
