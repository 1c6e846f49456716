#pragma once
// The names of the ports this program has open, one list per direction, and
// the check that refuses to open a virtual loopback port whose other end is
// already open (MIDI thru would feed the output back into the input).

#include <string>

namespace kalvex {

void RegisterOpenDevice(bool isOutput, const std::string& name);
void UnregisterOpenDevice(bool isOutput, const std::string& name);
bool IsOpenDeviceRegistered(bool isOutput, const std::string& name);

bool IsVirtualPortName(const std::string& name);
bool WouldCreateFeedbackLoop(bool isOutput, const std::string& name);

}  // namespace kalvex
