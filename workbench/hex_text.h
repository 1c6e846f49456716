#pragma once
// The hexadecimal text form of MIDI data used by both boxes: one message (or
// piece of a message) per line, each byte as two hex digits, comments allowed.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "util/midi_message.h"
#include "workbench/log_sink.h"

namespace kalvex {

// Text of a message that is not SysEx ("F8", "C0 05", "90 3C 7F"); empty when
// the status byte does not give a length of 1 to 3.
std::string ShortMessageText(uint8_t status, uint8_t data1, uint8_t data2);

// Removes every character of code 0x20 or below from both ends.
std::string_view TrimLine(std::string_view text);

// Where a line's comment starts (";", "#" or "//"); the line's length when
// it has none.
size_t CommentStart(std::string_view line);

// The pause a line's comment asks the send for: "; wait 500", "// Wait 500 ms"
// or "# wait 20" (letter case ignored) give 500, 500 and 20 milliseconds;
// -1 when the line has no such comment.
int WaitCommentMs(std::string_view line);

// The reused parse buffer. It grows to the exact size asked for and never
// shrinks; the first four bytes are zeroed before every parse so that a line
// of one or two bytes leaves zeros behind it (short messages rely on that).
class TMessageBuffer {
public:
  static constexpr size_t kMinimumSize = 10;

  // Makes room for a line of lineLength characters.
  void PrepareForLine(size_t lineLength);
  uint8_t* Data() { return data_.get(); }
  const uint8_t* Data() const { return data_.get(); }
  size_t Capacity() const { return capacity_; }

private:
  std::unique_ptr<uint8_t[]> data_;
  size_t capacity_ = 0;
};

// Parses lines of hex text into the message buffer, reporting bad pairs.
class THexParser {
public:
  explicit THexParser(TLogSink& log) : log_(&log) {}

  // lineIndex is 0-based; text must already be trimmed (TrimLine). Fills the
  // buffer and count; true when at least one byte was parsed. Each bad pair is
  // logged as "line %d:%d: Unexpected characters: "%s"" and parsing goes on.
  bool ParseHexLine(int lineIndex, std::string_view text, int& count);

  TMessageBuffer& MessageBuffer() { return buffer_; }
  const uint8_t* Data() const { return buffer_.Data(); }

private:
  TLogSink* log_;
  TMessageBuffer buffer_;
};

// Consumes bytes for one line and returns their text. A line ends before a
// status byte other than F7 (so F7 stays with the data it ends and real-time
// bytes start a line of their own) or when maxPerLine (> 0) bytes are taken.
std::string FormatHexLine(const uint8_t*& data, size_t& remaining, int maxPerLine);

// The same, appending to out (no allocation when out has room).
void FormatHexLineInto(std::string& out, const uint8_t*& data, size_t& remaining, int maxPerLine);

// Renders all bytes as lines, handing each to addLine.
void AppendBytesAsLines(const uint8_t* data, size_t count, int maxPerLine,
                        const std::function<void(std::string&&)>& addLine);

// The line rule of FormatHexLine for a stream: how many of the bytes at data
// belong to a line that already holds inLine bytes. complete is set when the
// line ends among them; otherwise it goes on with the bytes that follow.
size_t LineBytes(const uint8_t* data, size_t remaining, size_t inLine, int maxPerLine, bool& complete);

// Renders a byte stream piece by piece into exactly the lines FormatHexLine
// gives for all of it at once, holding one line at most.
class THexLineStreamer {
public:
  explicit THexLineStreamer(int maxPerLine) : maxPerLine_(maxPerLine) {}
  // Hands every line completed by these bytes to onLine (the text is reused
  // afterwards).
  void Feed(const uint8_t* data, size_t size, const std::function<void(const std::string&)>& onLine);
  // Ends the stream: an open line goes out.
  void Finish(const std::function<void(const std::string&)>& onLine);

private:
  int maxPerLine_;
  std::string line_;
  size_t inLine_ = 0;
};

// The split threshold: the configured count of bytes per line when "Split long
// sys ex messages" is on, else -1 (no limit).
struct TSplitOptions {
  static constexpr int kDefaultThreshold = 32;
  bool splitLongMessages = false;  // persisted as SplitLongMessages2
  int threshold = kDefaultThreshold;  // persisted as SplitLongMessagesThreshold

  int SplitThreshold() const { return splitLongMessages ? threshold : -1; }
};

}  // namespace kalvex
