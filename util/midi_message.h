#pragma once
// The rules of MIDI messages that both the device layer and the text format
// need, below both.
#include <cstdint>

namespace kalvex {

// Number of bytes of a MIDI message, from its status byte (0 for a data byte).
constexpr int MessageLength(uint8_t status) {
  if (status < 0x80) return 0;
  if (status < 0xF0) return (status >> 4) == 0xC || (status >> 4) == 0xD ? 2 : 3;
  switch (status & 0x0F) {
    case 0x1: case 0x3: return 2;
    case 0x2: return 3;
    default: return 1;  // F0 and F4..FF
  }
}

}  // namespace kalvex
