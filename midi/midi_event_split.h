#pragma once
// How the bytes of one long message become events of a MIDI service that
// carries one message per event (JACK, the ALSA sequencer): short messages
// travel alone, SysEx goes in pieces of at most maxBytes, and real-time bytes
// inside SysEx become events of their own.

#include <cstddef>
#include <cstdint>

#include "util/midi_message.h"

namespace kalvex {

// Length of the event that starts at data[0]; inSysEx carries over between
// calls (and between the long messages of one output).
inline size_t NextEventLength(const uint8_t* data, size_t size, size_t maxBytes, bool& inSysEx) {
  if (size == 0) return 0;
  const uint8_t first = data[0];
  if (first >= 0xF8) return 1;
  if (first == 0xF0 || (inSysEx && first < 0x80) || (inSysEx && first == 0xF7)) {
    inSysEx = true;
    size_t n = 0;
    while (n < size && n < maxBytes) {
      const uint8_t b = data[n];
      if (b == 0xF7) {
        ++n;
        inSysEx = false;
        break;
      }
      if (b >= 0x80 && n > 0) {  // real-time bytes and cut-offs end the piece
        if (b < 0xF8) inSysEx = false;
        break;
      }
      ++n;
    }
    return n;
  }
  inSysEx = false;
  if (first >= 0x80) {
    const int length = MessageLength(first);
    size_t n = length < 1 ? 1 : static_cast<size_t>(length);
    if (n > size) n = size;
    // a status byte where data belongs ends the message early
    for (size_t i = 1; i < n; ++i)
      if (data[i] >= 0x80) return i;
    return n;
  }
  // data bytes without status: pass them on as they are
  size_t n = 0;
  while (n < size && n < maxBytes && data[n] < 0x80) ++n;
  return n;
}

}  // namespace kalvex

namespace kalvex {

// Whether the event that starts with first is a piece of SysEx, given the
// inSysEx state before NextEventLength cut it.
inline bool IsSysExPiece(uint8_t first, bool wasInSysEx) {
  return first == 0xF0 || (wasInSysEx && (first < 0x80 || first == 0xF7));
}

}  // namespace kalvex
