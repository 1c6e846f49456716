#include "workbench/hex_text.h"

#include "util/ascii.h"

#include <array>

namespace kalvex {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Digit value of a character after ASCII upper-casing, or -1.
constexpr std::array<int8_t, 256> MakeDigitTable() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<int8_t>(i);
  for (int i = 0; i < 6; ++i) {
    t['A' + i] = static_cast<int8_t>(10 + i);
    t['a' + i] = static_cast<int8_t>(10 + i);
  }
  return t;
}
constexpr std::array<int8_t, 256> kDigit = MakeDigitTable();

inline bool IsStatusThatBreaksLine(uint8_t b) { return b >= 0x80 && b != 0xF7; }

inline void PutHexByte(char* out, uint8_t b) {
  out[0] = kHexDigits[b >> 4];
  out[1] = kHexDigits[b & 0x0F];
}

}  // namespace

std::string ShortMessageText(uint8_t status, uint8_t data1, uint8_t data2) {
  const int length = MessageLength(status);
  if (length < 1 || length > 3) return {};
  const uint8_t bytes[3] = {status, data1, data2};
  std::string text(static_cast<size_t>(3 * length - 1), ' ');
  for (int i = 0; i < length; ++i) PutHexByte(&text[static_cast<size_t>(3 * i)], bytes[i]);
  return text;
}

std::string_view TrimLine(std::string_view text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= 0x20) ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= 0x20) --last;
  return text.substr(first, last - first);
}

size_t CommentStart(std::string_view line) {
  size_t at = 0;
  while (at < line.size() && line[at] != ';' && line[at] != '#' &&
         !(line[at] == '/' && at + 1 < line.size() && line[at + 1] == '/'))
    ++at;
  return at;
}

int WaitCommentMs(std::string_view line) {
  const size_t at = CommentStart(line);
  if (at == line.size()) return -1;
  std::string text = LowerAscii(TrimLine(line.substr(at + (line[at] == '/' ? 2 : 1))));
  if (text.rfind("wait", 0) != 0 || text.size() < 6 || static_cast<unsigned char>(text[4]) > 0x20) return -1;
  std::string_view rest = TrimLine(std::string_view(text).substr(4));
  if (rest.size() >= 2 && rest.substr(rest.size() - 2) == "ms") rest = TrimLine(rest.substr(0, rest.size() - 2));
  int32_t ms = 0;
  return ParseInt32(rest, ms) && ms >= 0 && rest[0] != '-' && rest[0] != '+' ? ms : -1;
}

void TMessageBuffer::PrepareForLine(size_t lineLength) {
  size_t needed = lineLength / 2 + 5;
  if (needed < kMinimumSize) needed = kMinimumSize;
  if (!data_ || capacity_ < needed) {
    data_.reset();  // old contents are dropped, not copied
    data_.reset(new uint8_t[needed]);
    capacity_ = needed;
  }
  for (size_t i = 0; i < 4; ++i) data_[i] = 0;
}

bool THexParser::ParseHexLine(int lineIndex, std::string_view text, int& count) {
  count = 0;
  const size_t length = text.size();
  if (length == 0) return false;
  buffer_.PrepareForLine(length);
  uint8_t* out = buffer_.Data();
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = 0;
  // j is 0-based; the last character can never begin a pair.
  size_t j = 0;
  while (j + 1 < length) {
    const unsigned char c = s[j];
    if (c <= 0x20) {
      ++j;
      continue;
    }
    if (c == ';' || c == '#') break;
    const unsigned char next = s[j + 1];
    if (c == '/' && next == '/') break;
    const int hi = kDigit[c];
    const int lo = kDigit[next];
    if (hi >= 0 && lo >= 0) {
      out[n++] = static_cast<uint8_t>(hi * 16 + lo);
      j += 2;
      continue;
    }
    // The column is the 1-based position of the pair plus one.
    const std::string pair{static_cast<char>(c), static_cast<char>(next)};
    log_->LogLine("line " + std::to_string(lineIndex + 1) + ":" + std::to_string(j + 2) +
                      ": Unexpected characters: \"" + pair + "\"",
                  true, true, lkError);
    ++j;  // the second character may start the next pair
  }
  count = static_cast<int>(n);
  return n > 0;
}

size_t LineBytes(const uint8_t* data, size_t remaining, size_t inLine, int maxPerLine, bool& complete) {
  const size_t limit = maxPerLine > 0 ? static_cast<size_t>(maxPerLine) : SIZE_MAX;
  // A new line takes its first byte whatever it is.
  size_t take = inLine == 0 && remaining > 0 ? 1 : 0;
  while (take < remaining && inLine + take < limit && !IsStatusThatBreaksLine(data[take])) ++take;
  complete = take < remaining || inLine + take >= limit;
  return take;
}

namespace {
// The hex of n bytes, each after a blank but the line's first.
void AppendHex(std::string& out, const uint8_t* data, size_t n, bool lineStarted) {
  if (n == 0) return;
  const size_t start = out.size();
  out.resize(start + 3 * n - (lineStarted ? 0 : 1));
  char* p = out.data() + start;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 || lineStarted) *p++ = ' ';
    PutHexByte(p, data[i]);
    p += 2;
  }
}
}  // namespace

void FormatHexLineInto(std::string& out, const uint8_t*& data, size_t& remaining, int maxPerLine) {
  if (remaining == 0) return;
  bool complete = false;
  const size_t take = LineBytes(data, remaining, 0, maxPerLine, complete);
  AppendHex(out, data, take, false);
  data += take;
  remaining -= take;
}

void THexLineStreamer::Feed(const uint8_t* data, size_t size,
                            const std::function<void(const std::string&)>& onLine) {
  while (size > 0) {
    bool complete = false;
    const size_t take = LineBytes(data, size, inLine_, maxPerLine_, complete);
    AppendHex(line_, data, take, inLine_ > 0);
    inLine_ += take;
    data += take;
    size -= take;
    if (complete) {
      onLine(line_);
      line_.clear();
      inLine_ = 0;
    }
  }
}

void THexLineStreamer::Finish(const std::function<void(const std::string&)>& onLine) {
  if (inLine_ > 0) onLine(line_);
  line_.clear();
  inLine_ = 0;
}

std::string FormatHexLine(const uint8_t*& data, size_t& remaining, int maxPerLine) {
  std::string line;
  FormatHexLineInto(line, data, remaining, maxPerLine);
  return line;
}

void AppendBytesAsLines(const uint8_t* data, size_t count, int maxPerLine,
                        const std::function<void(std::string&&)>& addLine) {
  while (count > 0) addLine(FormatHexLine(data, count, maxPerLine));
}

}  // namespace kalvex
