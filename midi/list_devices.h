#pragma once
#include <iosfwd>

namespace kalvex {

// `kalvex --list-devices`: the MIDI In and MIDI Out devices with their IDs
// and names, one per line. Needs no display. Returns the exit code.
int RunListDevices(std::ostream& out, std::ostream& err);

}  // namespace kalvex
