#include "midi/midi_trace.h"

namespace kalvex {
Q_LOGGING_CATEGORY(lcMidi, "kalvex.midi", QtWarningMsg)
}  // namespace kalvex
