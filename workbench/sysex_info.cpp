#include "workbench/sysex_info.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>

#include "util/midi_message.h"

namespace kalvex {

namespace {

#include "sysex_manufacturers.inc"

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The shipped table, read once: ID (1 byte, or 3 as 00 xx yy) to name.
const std::map<uint32_t, std::string>& Manufacturers() {
  static const std::map<uint32_t, std::string> table = [] {
    std::map<uint32_t, std::string> t;
    std::istringstream in(kManufacturerTable);
    std::string line;
    while (std::getline(in, line)) {
      const size_t tab = line.find('\t');
      if (line.empty() || line[0] == '#' || tab == std::string::npos || (tab != 2 && tab != 6)) continue;
      uint32_t key = tab == 2 ? 0 : 0x1000000;  // three-byte IDs apart from the one-byte ones
      bool ok = true;
      for (size_t i = 0; i < tab; ++i) {
        const int v = HexValue(line[i]);
        ok = ok && v >= 0;
        key = (key & 0xFF000000) | (((key & 0xFFFFFF) << 4) | static_cast<uint32_t>(std::max(v, 0)));
      }
      if (ok) t.emplace(key, line.substr(tab + 1));
    }
    return t;
  }();
  return table;
}

uint32_t Key(const TManufacturerId& id) {
  return id.size == 1 ? id.bytes[0] : 0x1000000 | (uint32_t(id.bytes[1]) << 8) | id.bytes[2];
}

std::string Hex(uint8_t b) {
  static const char* digits = "0123456789ABCDEF";
  return {digits[b >> 4], digits[b & 15]};
}

// The bytes between the address or count and the checksum, summed.
unsigned Sum(std::span<const uint8_t> m, size_t from, size_t to) {
  unsigned s = 0;
  for (size_t i = from; i < to; ++i) s += m[i];
  return s;
}

}  // namespace

bool ManufacturerOf(std::span<const uint8_t> m, TManufacturerId& id) {
  if (m.size() < 2 || m[0] != 0xF0 || m[1] >= 0x80) return false;
  id = {};
  if (m[1] != 0x00) {
    id.bytes[0] = m[1];
    id.size = 1;
    return true;
  }
  if (m.size() < 4 || m[2] >= 0x80 || m[3] >= 0x80) return false;
  id.bytes[1] = m[2];
  id.bytes[2] = m[3];
  id.size = 3;
  return true;
}

std::string ManufacturerName(const TManufacturerId& id) {
  if (id.size == 1 && id.bytes[0] == 0x7D) return "Non-Commercial";
  if (id.size == 1 && id.bytes[0] == 0x7E) return "Universal Non-Real Time";
  if (id.size == 1 && id.bytes[0] == 0x7F) return "Universal Real Time";
  const auto& t = Manufacturers();
  const auto found = t.find(Key(id));
  return found == t.end() ? std::string() : found->second;
}

std::vector<uint8_t> IdentityRequest(uint8_t device) { return {0xF0, 0x7E, device, 0x06, 0x01, 0xF7}; }

bool DecodeIdentityReply(std::span<const uint8_t> m, TIdentityReply& r) {
  if (m.size() < 15 || m[0] != 0xF0 || m[1] != 0x7E || m[3] != 0x06 || m[4] != 0x02 || m.back() != 0xF7) return false;
  TIdentityReply out;
  out.device = m[2];
  if (m[5] != 0x00) {
    out.manufacturer.bytes[0] = m[5];
    out.manufacturer.size = 1;
  } else {
    out.manufacturer.bytes[1] = m[6];
    out.manufacturer.bytes[2] = m[7];
    out.manufacturer.size = 3;
  }
  const size_t at = 5 + static_cast<size_t>(out.manufacturer.size);
  if (m.size() < at + 8 + 1) return false;  // family, member, version, F7
  for (size_t i = 5; i < at + 8; ++i)
    if (m[i] >= 0x80) return false;
  out.family = static_cast<uint16_t>(m[at] | (m[at + 1] << 7));
  out.member = static_cast<uint16_t>(m[at + 2] | (m[at + 3] << 7));
  std::copy(m.begin() + static_cast<std::ptrdiff_t>(at + 4), m.begin() + static_cast<std::ptrdiff_t>(at + 8),
            out.version);
  r = out;
  return true;
}

std::string UniversalMessageName(std::span<const uint8_t> m) {
  if (m.size() < 5 || m[0] != 0xF0 || (m[1] != 0x7E && m[1] != 0x7F)) return {};
  const uint8_t sub1 = m[3], sub2 = m[4];
  if (m[1] == 0x7E) {
    switch (sub1) {
      case 0x01: return "Sample Dump Header";
      case 0x02: return "Sample Data Packet";
      case 0x03: return "Sample Dump Request";
      case 0x06: return sub2 == 0x01 ? "Identity Request" : sub2 == 0x02 ? "Identity Reply" : "General Information";
      case 0x08:
        switch (sub2) {
          case 0x00: return "Bulk Tuning Dump Request";
          case 0x01: return "Bulk Tuning Dump";
          default: return "MIDI Tuning Standard";
        }
      case 0x09: return sub2 == 0x01 ? "GM System On" : sub2 == 0x02 ? "GM System Off" : sub2 == 0x03 ? "GM2 System On" : "General MIDI";
      case 0x7B: return "End of File";
      case 0x7C: return "Wait";
      case 0x7D: return "Cancel";
      case 0x7E: return "NAK";
      case 0x7F: return "ACK";
      default: return "Universal Non-Real Time";
    }
  }
  switch (sub1) {
    case 0x01: return "MIDI Time Code";
    case 0x04:
      switch (sub2) {
        case 0x01: return "Master Volume";
        case 0x02: return "Master Balance";
        case 0x03: return "Master Fine Tuning";
        case 0x04: return "Master Coarse Tuning";
        default: return "Device Control";
      }
    case 0x06: {
      static const char* const kMmc[] = {"",          "MMC Stop",  "MMC Play",          "MMC Deferred Play",
                                         "MMC Fast Forward", "MMC Rewind", "MMC Record Strobe", "MMC Record Exit",
                                         "MMC Record Pause", "MMC Pause"};
      return sub2 >= 1 && sub2 <= 9 ? kMmc[sub2] : "MIDI Machine Control";
    }
    case 0x08: return "Single Note Tuning Change";
    default: return "Universal Real Time";
  }
}

std::string DescribeMessage(std::span<const uint8_t> m) {
  TManufacturerId id;
  if (!ManufacturerOf(m, id)) return {};
  std::string text = ManufacturerName(id);
  if (text.empty()) {
    text = "manufacturer";
    for (int i = 0; i < id.size; ++i) text += " " + Hex(id.size == 1 ? id.bytes[0] : id.bytes[i]);
  }
  const std::string universal = UniversalMessageName(m);
  if (!universal.empty() && universal != text) text += ": " + universal;
  TIdentityReply reply;
  if (DecodeIdentityReply(m, reply)) {
    const std::string maker = ManufacturerName(reply.manufacturer);
    std::string ident = maker.empty() ? "manufacturer" : maker;
    if (maker.empty())
      for (int i = 0; i < reply.manufacturer.size; ++i)
        ident += " " + Hex(reply.manufacturer.size == 1 ? reply.manufacturer.bytes[0] : reply.manufacturer.bytes[i]);
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, ", family %04X, member %04X, version %02X %02X %02X %02X", reply.family,
                  reply.member, reply.version[0], reply.version[1], reply.version[2], reply.version[3]);
    text += " (" + ident + numbers + ")";
  }
  text += ", " + std::to_string(m.size()) + " bytes";
  if (const auto sum = FindChecksum(m))
    text += sum->Ok() ? ", checksum OK" : ", checksum wrong (expected " + Hex(sum->expected) + ")";
  return text;
}

uint8_t Sum7(std::span<const uint8_t> bytes) { return static_cast<uint8_t>(Sum(bytes, 0, bytes.size()) & 0x7F); }

std::optional<TChecksum> FindChecksum(std::span<const uint8_t> m) {
  const size_t n = m.size();
  if (n < 6 || m[0] != 0xF0 || m[n - 1] != 0xF7) return std::nullopt;
  for (size_t i = 1; i + 1 < n; ++i)
    if (m[i] >= 0x80) return std::nullopt;
  if (m[1] == 0x41) {
    // Roland: F0 41 <device> <model, 1 to 4 bytes, leading 00s> <11 or 12>
    // <address and data> <checksum> F7.
    size_t cmd = 4;
    while (cmd < n - 2 && m[cmd - 1] == 0x00) ++cmd;
    if (cmd + 3 >= n || (m[cmd] != 0x11 && m[cmd] != 0x12)) return std::nullopt;
    const uint8_t expected = static_cast<uint8_t>((128 - Sum(m, cmd + 1, n - 2) % 128) & 0x7F);
    return TChecksum{TChecksumKind::Roland, n - 2, m[n - 2], expected};
  }
  if (m[1] == 0x43 && (m[2] & 0xF0) == 0x00 && n >= 9) {
    // Yamaha bulk dump: F0 43 0n <format or model> <count MSB> <count LSB>
    // <data> <checksum> F7; XG-style models put a 3-byte address before the
    // data and take count and address into the sum.
    const size_t count = static_cast<size_t>(m[4]) << 7 | m[5];
    const size_t between = n - 8;  // bytes from index 6 to the checksum
    size_t from = 0;
    if (count == between)
      from = 6;
    else if (count + 3 == between)
      from = 4;
    else
      return std::nullopt;
    const uint8_t expected = static_cast<uint8_t>((0u - Sum(m, from, n - 2)) & 0x7F);
    return TChecksum{TChecksumKind::Yamaha, n - 2, m[n - 2], expected};
  }
  return std::nullopt;
}

bool FixChecksum(std::vector<uint8_t>& message) {
  const auto c = FindChecksum(message);
  if (!c) return false;
  message[c->position] = c->expected;
  return true;
}

std::vector<TFramingProblem> CheckFraming(const std::vector<std::vector<uint8_t>>& lines, int firstLine) {
  std::vector<TFramingProblem> problems;
  bool inSysEx = false;
  int sysExLine = 0;
  for (size_t l = 0; l < lines.size(); ++l) {
    const int line = firstLine + static_cast<int>(l);
    const std::vector<uint8_t>& b = lines[l];
    size_t i = 0;
    while (i < b.size()) {
      const uint8_t c = b[i];
      if (c >= 0xF8) {  // real time: allowed anywhere
        ++i;
        continue;
      }
      if (inSysEx) {
        if (c == 0xF7) {
          inSysEx = false;
        } else if (c >= 0x80) {
          problems.push_back({line, "status byte " + Hex(c) + " inside a SysEx message"});
          inSysEx = false;
          continue;  // it starts a message of its own
        }
        ++i;
        continue;
      }
      if (c == 0xF0) {
        inSysEx = true;
        sysExLine = line;
        ++i;
        continue;
      }
      if (c == 0xF7) {
        problems.push_back({line, "F7 without F0"});
        ++i;
        continue;
      }
      if (c < 0x80) {
        problems.push_back({line, "data bytes without a status byte (running status from an earlier line)"});
        while (i < b.size() && b[i] < 0x80) ++i;
        continue;
      }
      // A short message, possibly with running status inside the line.
      const int needed = MessageLength(c) - 1;
      size_t j = i + 1;
      while (j < b.size() && b[j] < 0x80) ++j;
      const int data = static_cast<int>(j - i - 1);
      const bool runningStatus = c < 0xF0 && needed > 0 && data > needed && data % needed == 0;
      if (data != needed && !runningStatus)
        problems.push_back({line, Hex(c) + " takes " + std::to_string(needed) + " data byte" +
                                      (needed == 1 ? "" : "s") + ", the line has " + std::to_string(data)});
      i = j;
    }
  }
  if (inSysEx) problems.push_back({sysExLine, "F0 without F7"});
  return problems;
}

namespace {

// Calls visit(line, first, last) for every whole F0..F7 message on a line.
template <class TLines, class TVisit>
void ForEachWholeMessage(TLines& lines, TVisit&& visit) {
  for (size_t l = 0; l < lines.size(); ++l) {
    auto& b = lines[l];
    for (size_t i = 0; i < b.size(); ++i) {
      if (b[i] != 0xF0) continue;
      size_t j = i + 1;
      while (j < b.size() && b[j] != 0xF7 && (b[j] < 0x80 || b[j] >= 0xF8)) ++j;
      if (j < b.size() && b[j] == 0xF7) visit(l, i, j);
      i = j - 1;
    }
  }
}

}  // namespace

std::vector<TFramingProblem> CheckMessages(const std::vector<std::vector<uint8_t>>& lines, int firstLine) {
  std::vector<TFramingProblem> problems = CheckFraming(lines, firstLine);
  ForEachWholeMessage(lines, [&](size_t l, size_t first, size_t last) {
    const auto sum = FindChecksum(std::span<const uint8_t>(lines[l]).subspan(first, last - first + 1));
    if (sum && !sum->Ok())
      problems.push_back({firstLine + static_cast<int>(l),
                          "checksum wrong (expected " + Hex(sum->expected) + ", found " + Hex(sum->found) + ")"});
  });
  std::stable_sort(problems.begin(), problems.end(),
                   [](const TFramingProblem& a, const TFramingProblem& b) { return a.line < b.line; });
  return problems;
}

int FixChecksums(std::vector<std::vector<uint8_t>>& lines) {
  int fixed = 0;
  ForEachWholeMessage(lines, [&](size_t l, size_t first, size_t last) {
    const auto sum = FindChecksum(std::span<const uint8_t>(lines[l]).subspan(first, last - first + 1));
    if (sum && !sum->Ok()) {
      lines[l][first + sum->position] = sum->expected;
      ++fixed;
    }
  });
  return fixed;
}

std::vector<std::vector<uint8_t>> BoxLineBytes(const TBMStrings& box, THexParser& parser) {
  std::vector<std::vector<uint8_t>> lines(static_cast<size_t>(box.Count()));
  for (int i = 0; i < box.Count(); ++i) {
    int count = 0;
    if (parser.ParseHexLine(i, TrimLine(box.Get(i)), count))
      lines[static_cast<size_t>(i)].assign(parser.Data(), parser.Data() + count);
  }
  return lines;
}

int FixChecksumsInBox(TBMStrings& box, THexParser& parser) {
  std::vector<std::vector<uint8_t>> lines = BoxLineBytes(box, parser);
  const std::vector<std::vector<uint8_t>> before = lines;
  const int fixed = FixChecksums(lines);
  for (size_t l = 0; l < lines.size(); ++l) {
    if (lines[l] == before[l]) continue;
    const std::string& old = box.Get(static_cast<int>(l));
    const size_t comment = CommentStart(old);
    std::string text;
    const uint8_t* data = lines[l].data();
    size_t remaining = lines[l].size();
    while (remaining > 0) {
      if (!text.empty()) text += ' ';
      FormatHexLineInto(text, data, remaining, 0);
    }
    if (comment < old.size()) text += " " + old.substr(comment);
    box.Put(static_cast<int>(l), text);
  }
  return fixed;
}

}  // namespace kalvex
