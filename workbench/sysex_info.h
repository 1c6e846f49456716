#pragma once
// What a SysEx message is: its manufacturer, the Universal messages by name,
// the identity reply decoded, the checksums of the common kinds (verify and
// fix), and the framing of lines of MIDI data. Plain C++; the window and the
// command line describe, check and fix with it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "editor/core/bm_strings.h"
#include "workbench/hex_text.h"

namespace kalvex {

// The manufacturer ID after F0: one byte, or three when the first is 00.
struct TManufacturerId {
  uint8_t bytes[3] = {0, 0, 0};
  int size = 0;
  friend bool operator==(const TManufacturerId&, const TManufacturerId&) = default;
};

// The ID of a message that starts with F0; false when it is too short.
bool ManufacturerOf(std::span<const uint8_t> message, TManufacturerId& id);
// The manufacturer's name from the shipped table; the Universal and
// non-commercial IDs by their use; empty when the ID is not listed.
std::string ManufacturerName(const TManufacturerId& id);

// F0 7E <device> 06 02 <manufacturer> <family LSB MSB> <member LSB MSB>
// <version, 4 bytes> F7: 15 bytes with a 1-byte ID, 17 with a 3-byte one.
// Bytes a device adds before F7 are allowed.
struct TIdentityReply {
  uint8_t device = 0;
  TManufacturerId manufacturer;
  uint16_t family = 0;
  uint16_t member = 0;
  uint8_t version[4] = {0, 0, 0, 0};
};
bool DecodeIdentityReply(std::span<const uint8_t> message, TIdentityReply& reply);
// F0 7E <device> 06 01 F7, to any device (7F) or one.
std::vector<uint8_t> IdentityRequest(uint8_t device = 0x7F);

// The name of a Universal message (7E, 7F): "Identity Request", "GM System
// On", "Master Volume", "MMC Stop" and the like; empty for any other message.
std::string UniversalMessageName(std::span<const uint8_t> message);

// A line of text about a whole message (F0 to F7), for a comment after it:
// its manufacturer or Universal name, the identity reply decoded, its
// length and its checksum where the kind is known, such as
// "Roland Corporation, 11 bytes, checksum OK".
std::string DescribeMessage(std::span<const uint8_t> message);

// Checksums of the kinds that can be told from the message itself.
enum class TChecksumKind {
  Roland,  // data set (12) and request (11): (128 - sum of address and data mod 128) & 7F
  Yamaha,  // bulk dump: two's complement of the sum of the data (and, XG-style, of count and address), 7 bits
};
struct TChecksum {
  TChecksumKind kind;
  size_t position;   // of the checksum byte in the message
  uint8_t found;
  uint8_t expected;
  bool Ok() const { return found == expected; }
};
// The checksum of a recognised message (whole, F0 to F7); none otherwise.
std::optional<TChecksum> FindChecksum(std::span<const uint8_t> message);
// Writes the expected checksum; false when the message is of no known kind.
bool FixChecksum(std::vector<uint8_t>& message);
// The generic kind some devices use: the sum of the bytes, 7 bits.
uint8_t Sum7(std::span<const uint8_t> bytes);

// Framing of lines of MIDI data as they would be sent one after the other:
// F0 without F7, F7 without F0, a status byte other than a real-time one
// inside SysEx, a short message with too few or too many data bytes, data
// bytes that lean on the running status of an earlier line. Lines are
// numbered from firstLine.
struct TFramingProblem {
  int line;
  std::string text;
};
std::vector<TFramingProblem> CheckFraming(const std::vector<std::vector<uint8_t>>& lines, int firstLine = 1);

// The framing problems and every wrong checksum of a whole message on a
// line ("checksum wrong (expected 5A, found 12)"), by line.
std::vector<TFramingProblem> CheckMessages(const std::vector<std::vector<uint8_t>>& lines, int firstLine = 1);
// Rewrites the checksum of every whole message on the lines that it
// recognises; returns how many bytes it changed.
int FixChecksums(std::vector<std::vector<uint8_t>>& lines);

// The same over the lines of a box of text: the bytes of each line (bad
// pairs are told by the parser), and the fix written back into the lines
// it changes, their comments kept.
std::vector<std::vector<uint8_t>> BoxLineBytes(const TBMStrings& box, THexParser& parser);
int FixChecksumsInBox(TBMStrings& box, THexParser& parser);

}  // namespace kalvex
