// What a SysEx message is: manufacturer, Universal names, identity replies,
// checksums of real messages, and the framing of lines.
#include "workbench/sysex_info.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kalvex {
namespace {

std::vector<uint8_t> Bytes(const std::string& hex) {
  std::istringstream in(hex);
  std::vector<uint8_t> out;
  std::string pair;
  while (in >> pair) out.push_back(static_cast<uint8_t>(std::stoi(pair, nullptr, 16)));
  return out;
}

TEST(SysExInfo, ManufacturersFromTheShippedTable) {
  const std::pair<const char*, const char*> cases[] = {
      {"F0 41 10 42 12 F7", "Roland Corporation"}, {"F0 43 10 4C F7", "Yamaha Corporation"},
      {"F0 01 F7", "Sequential Circuits"},        {"F0 00 20 29 02 F7", "Focusrite/Novation"},
      {"F0 00 21 09 F7", "Native Instruments"},   {"F0 7E 7F 06 01 F7", "Universal Non-Real Time"},
      {"F0 7D 01 F7", "Non-Commercial"},          {"F0 00 7F 7F F7", ""},
  };
  for (const auto& [hex, name] : cases) {
    TManufacturerId id;
    ASSERT_TRUE(ManufacturerOf(Bytes(hex), id)) << hex;
    EXPECT_EQ(ManufacturerName(id), name) << hex;
  }
  TManufacturerId id;
  EXPECT_FALSE(ManufacturerOf(Bytes("F0"), id));
  EXPECT_FALSE(ManufacturerOf(Bytes("F0 00 20"), id));
  EXPECT_FALSE(ManufacturerOf(Bytes("90 3C 7F"), id));
}

TEST(SysExInfo, IdentityRepliesWithOneAndThreeByteIds) {
  TIdentityReply r;
  ASSERT_TRUE(DecodeIdentityReply(Bytes("F0 7E 00 06 02 42 13 01 05 00 00 01 02 03 F7"), r));
  EXPECT_EQ(r.manufacturer.size, 1);
  EXPECT_EQ(r.manufacturer.bytes[0], 0x42);
  EXPECT_EQ(r.family, 0x0013 | (1 << 7));
  EXPECT_EQ(r.member, 0x0005);
  EXPECT_EQ(r.version[3], 0x03);
  // Three-byte ID, and two bytes a device adds before F7.
  ASSERT_TRUE(DecodeIdentityReply(Bytes("F0 7E 7F 06 02 00 20 29 48 01 00 00 00 01 00 00 11 22 F7"), r));
  EXPECT_EQ(r.manufacturer.size, 3);
  EXPECT_EQ(ManufacturerName(r.manufacturer), "Focusrite/Novation");
  EXPECT_EQ(r.device, 0x7F);
  EXPECT_EQ(r.family, 0x48 | (1 << 7));
  for (const char* bad : {"F0 7E 00 06 02 42 13 01 05 00 00 01 02 F7", "F0 7E 00 06 01 42 13 01 05 00 00 01 02 03 F7",
                          "F0 7E 00 06 02 00 20 29 48 01 00 00 00 01 00 F7"})
    EXPECT_FALSE(DecodeIdentityReply(Bytes(bad), r)) << bad;
  EXPECT_EQ(IdentityRequest(), Bytes("F0 7E 7F 06 01 F7"));
}

TEST(SysExInfo, UniversalMessagesByName) {
  const std::pair<const char*, const char*> cases[] = {
      {"F0 7E 7F 06 01 F7", "Identity Request"}, {"F0 7E 7F 09 01 F7", "GM System On"},
      {"F0 7E 7F 09 02 F7", "GM System Off"},     {"F0 7F 7F 04 01 00 7F F7", "Master Volume"},
      {"F0 7F 7F 06 01 F7", "MMC Stop"},           {"F0 7E 00 01 00 00 F7", "Sample Dump Header"},
      {"F0 7E 00 08 01 00 F7", "Bulk Tuning Dump"}, {"F0 41 10 42 12 40 00 7F 00 41 F7", ""},
  };
  for (const auto& [hex, name] : cases) EXPECT_EQ(UniversalMessageName(Bytes(hex)), name) << hex;
}

// Real messages: the GS reset and a data request from Roland's published
// MIDI implementations; Yamaha voice dumps (DX7 single voice and 32 voices,
// whose checksum covers the data) and an XG-style bulk dump (count and
// address included).
TEST(SysExInfo, ChecksumsOfRealMessagesVerifyAndFix) {
  std::string dx7Voice = "F0 43 00 00 01 1B", dx7Bank = "F0 43 00 09 20 00";
  for (int i = 0; i < 155; ++i) dx7Voice += " 01";
  for (int i = 0; i < 4096; ++i) dx7Bank += " 01";
  const struct {
    std::string hex;
    TChecksumKind kind;
    uint8_t expected;
  } cases[] = {
      {"F0 41 10 42 12 40 00 7F 00 41 F7", TChecksumKind::Roland, 0x41},
      {"F0 41 10 42 11 40 00 00 00 00 01 3F F7", TChecksumKind::Roland, 0x3F},
      {"F0 41 10 00 00 3A 12 01 00 00 00 05 7A F7", TChecksumKind::Roland, 0x7A},
      {dx7Voice + " 65 F7", TChecksumKind::Yamaha, 0x65},
      {dx7Bank + " 00 F7", TChecksumKind::Yamaha, 0x00},
      {"F0 43 00 4C 00 01 00 00 7E 00 01 F7", TChecksumKind::Yamaha, 0x01},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> m = Bytes(c.hex);
    const auto sum = FindChecksum(m);
    ASSERT_TRUE(sum) << c.hex.substr(0, 40);
    EXPECT_EQ(sum->kind, c.kind);
    EXPECT_TRUE(sum->Ok()) << c.hex.substr(0, 40);
    EXPECT_EQ(sum->expected, c.expected);
    m[m.size() - 2] ^= 0x01;  // damaged
    EXPECT_FALSE(FindChecksum(m)->Ok());
    ASSERT_TRUE(FixChecksum(m));
    EXPECT_EQ(m, Bytes(c.hex));
  }
  for (const char* none : {"F0 7E 7F 09 01 F7", "F0 43 10 4C 00 00 7E 00 F7", "F0 41 10 42 F7"}) {
    std::vector<uint8_t> m = Bytes(none);
    EXPECT_FALSE(FindChecksum(m)) << none;
    EXPECT_FALSE(FixChecksum(m)) << none;
  }
  EXPECT_EQ(Sum7(Bytes("40 7F 01")), 0x40);
}

TEST(SysExInfo, FramingOfLines) {
  const struct {
    std::vector<std::string> lines;
    std::vector<std::string> problems;  // "line: text"
  } cases[] = {
      {{"F0 43 10 4C 00 00 7E 00 F7", "90 3C 7F", "C0 05", "F8"}, {}},
      {{"F0 01 02", "03 04 F7"}, {}},  // a message over two lines
      {{"F0 01 02"}, {"1: F0 without F7"}},
      {{"01 02 F7"}, {"1: data bytes without a status byte (running status from an earlier line)", "1: F7 without F0"}},
      {{"F0 01 F8 02 F7"}, {}},  // real time inside SysEx
      {{"F0 01 90 3C 7F"}, {"1: status byte 90 inside a SysEx message"}},
      {{"90 3C"}, {"1: 90 takes 2 data bytes, the line has 1"}},
      {{"C0 05 06"}, {}},  // running status within the line
      {{"90 3C 7F", "3E 7F"}, {"2: data bytes without a status byte (running status from an earlier line)"}},
  };
  for (const auto& c : cases) {
    std::vector<std::vector<uint8_t>> lines;
    for (const auto& l : c.lines) lines.push_back(Bytes(l));
    std::vector<std::string> got;
    for (const auto& p : CheckFraming(lines)) got.push_back(std::to_string(p.line) + ": " + p.text);
    EXPECT_EQ(got, c.problems) << c.lines.front();
  }
}

TEST(SysExInfo, DescriptionsOfWholeMessages) {
  const std::pair<const char*, const char*> cases[] = {
      {"F0 41 10 42 12 40 00 7F 00 41 F7", "Roland Corporation, 11 bytes, checksum OK"},
      {"F0 41 10 42 12 40 00 7F 00 40 F7", "Roland Corporation, 11 bytes, checksum wrong (expected 41)"},
      {"F0 7E 7F 09 01 F7", "Universal Non-Real Time: GM System On, 6 bytes"},
      {"F0 7E 00 06 02 42 13 01 05 00 00 01 02 03 F7",
       "Universal Non-Real Time: Identity Reply (Korg Inc., family 0093, member 0005, version 00 01 02 03), 15 bytes"},
      {"F0 00 7F 7F 01 F7", "manufacturer 00 7F 7F, 6 bytes"},
  };
  for (const auto& [hex, text] : cases) EXPECT_EQ(DescribeMessage(Bytes(hex)), text) << hex;
}

// The check of a box: framing and checksums by line; the fix rewrites only
// the checksums of whole messages.
TEST(SysExInfo, CheckAndFixLines) {
  std::vector<std::vector<uint8_t>> lines = {Bytes("F0 41 10 42 12 40 00 7F 00 42 F7"), Bytes("90 3C"),
                                             Bytes("F0 41 10 42 12 40 00 7F 00 41 F7 F0 41 10 42 12 40 00 7F 00 00 F7"),
                                             Bytes("F0 43 00 00 01 1B")};
  std::vector<std::string> got;
  for (const auto& p : CheckMessages(lines, 10)) got.push_back(std::to_string(p.line) + ": " + p.text);
  EXPECT_EQ(got, (std::vector<std::string>{"10: checksum wrong (expected 41, found 42)",
                                           "11: 90 takes 2 data bytes, the line has 1",
                                           "12: checksum wrong (expected 41, found 00)", "13: F0 without F7"}));
  EXPECT_EQ(FixChecksums(lines), 2);
  EXPECT_EQ(lines[0], Bytes("F0 41 10 42 12 40 00 7F 00 41 F7"));
  EXPECT_EQ(lines[2], Bytes("F0 41 10 42 12 40 00 7F 00 41 F7 F0 41 10 42 12 40 00 7F 00 41 F7"));
  EXPECT_EQ(lines[1], Bytes("90 3C"));
  EXPECT_EQ(FixChecksums(lines), 0);
}

}  // namespace
}  // namespace kalvex
