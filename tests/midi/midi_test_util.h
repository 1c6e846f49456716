#pragma once
// Helpers for tests that go through real ports.
#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>
#include <string>
#include <vector>

#include "tests/util/wait_until.h"

namespace kalvex::test {


// jack_midi_dump's lines ("  128: f0 01 02 ...") -> the bytes of every line
inline std::vector<uint8_t> ParseDump(const QByteArray& text) {
  std::vector<uint8_t> bytes;
  for (const QByteArray& line : text.split('\n')) {
    const int colon = line.indexOf(':');
    if (colon < 0) continue;
    for (const QByteArray& token : line.mid(colon + 1).split(' ')) {
      if (token.isEmpty()) continue;
      bool ok = false;
      const int value = token.toInt(&ok, 16);
      if (token.size() != 2 || !ok) break;  // the description follows the bytes
      bytes.push_back(static_cast<uint8_t>(value));
    }
  }
  return bytes;
}

inline std::vector<uint8_t> PatternSysEx(size_t size, uint32_t seed = 1) {
  std::vector<uint8_t> data(size);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    data[i] = static_cast<uint8_t>((x >> 16) & 0x7F);
  }
  if (size >= 1) data[0] = 0xF0;
  if (size >= 2) data[size - 1] = 0xF7;
  return data;
}

// Where two byte strings part, for a failure message.
inline std::string FirstDifference(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  auto at = [i](const std::vector<uint8_t>& v) { return i < v.size() ? std::to_string(v[i]) : std::string("end"); };
  return "first difference at byte " + std::to_string(i) + ": got " + at(got) + ", want " + at(want);
}

}  // namespace kalvex::test
