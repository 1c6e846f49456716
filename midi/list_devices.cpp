#include "midi/list_devices.h"

#include <exception>
#include <ostream>

#include "midi/midi_input.h"
#include "midi/midi_output.h"

namespace kalvex {

int RunListDevices(std::ostream& out, std::ostream& err) {
  try {
    std::vector<std::unique_ptr<TMidiInput>> inputs;
    std::vector<std::unique_ptr<TMidiOutput>> outputs;
    TMidiInput::EnumerateDevices(inputs);
    TMidiOutput::EnumerateDevices(outputs, false);
    out << "MIDI In devices:\n";
    for (const auto& d : inputs) out << "  " << d->DeviceID() << ": " << d->DisplayName() << '\n';
    if (inputs.empty()) out << "  (none)\n";
    out << "MIDI Out devices:\n";
    for (const auto& d : outputs) out << "  " << d->DeviceID() << ": " << d->DisplayName() << '\n';
    if (outputs.empty()) out << "  (none)\n";
    out.flush();
    return 0;
  } catch (const std::exception& e) {
    err << e.what() << '\n';
    return 1;
  }
}

}  // namespace kalvex
