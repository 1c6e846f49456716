// How long messages become events of a MIDI service: one message per event, SysEx in pieces.
#include "midi/midi_event_split.h"

#include <gtest/gtest.h>

#include <vector>

namespace kalvex {
namespace {

std::vector<size_t> Split(const std::vector<uint8_t>& data, size_t maxBytes) {
  std::vector<size_t> lengths;
  bool inSysEx = false;
  for (size_t at = 0; at < data.size();) {
    const size_t n = NextEventLength(data.data() + at, data.size() - at, maxBytes, inSysEx);
    if (n == 0) break;
    lengths.push_back(n);
    at += n;
  }
  return lengths;
}

TEST(EventSplit, OneMessagePerEventAndSysExInPieces) {
  struct TCase {
    std::vector<uint8_t> data;
    size_t maxBytes;
    std::vector<size_t> lengths;
  };
  std::vector<uint8_t> big(2002, 0x11);
  big.front() = 0xF0;
  big.back() = 0xF7;
  const std::vector<TCase> cases = {
      {{0x90, 0x3C, 0x7F, 0x80, 0x3C, 0x00}, 1024, {3, 3}},
      {{0xF0, 0x01, 0x02, 0xF7, 0xC0, 0x05}, 1024, {4, 2}},
      {big, 1024, {1024, 978}},
      {{0xF0, 0x01, 0xF8, 0x02, 0xF7}, 1024, {2, 1, 2}},  // real-time byte on its own
      {{0xF0, 0x01, 0x90, 0x3C, 0x7F}, 1024, {2, 3}},      // SysEx cut short by a status
      {{0x90, 0x3C, 0x80, 0x3C, 0x00}, 1024, {2, 3}},      // status where data belongs
      {{0x3C, 0x7F}, 1024, {2}},                            // data without status, as it is
      {{0x90, 0x3C}, 1024, {2}},                            // truncated at the end
  };
  for (size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(Split(cases[i].data, cases[i].maxBytes), cases[i].lengths) << "case " << i;
}

TEST(EventSplit, SysExContinuesAcrossLongMessages) {
  // Split sending hands a SysEx message over in several long messages.
  bool inSysEx = false;
  const uint8_t first[] = {0xF0, 0x01, 0x02};
  const uint8_t second[] = {0x03, 0x04, 0xF7};
  EXPECT_EQ(NextEventLength(first, 3, 1024, inSysEx), 3u);
  EXPECT_TRUE(inSysEx);
  EXPECT_EQ(NextEventLength(second, 3, 1024, inSysEx), 3u);
  EXPECT_FALSE(inSysEx);
}

}  // namespace
}  // namespace kalvex
