#include "workbench/hex_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/workbench/capture_log.h"

namespace kalvex {
namespace {

using Bytes = std::vector<uint8_t>;

struct ParseCase {
  const char* name;
  const char* text;
  Bytes bytes;
  std::vector<std::string> errors;
};

class ParseHexLineTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseHexLineTest, ParsesBytesAndReportsBadPairs) {
  const ParseCase& c = GetParam();
  test::TCaptureLog log;
  THexParser parser(log);
  int count = -1;
  const bool any = parser.ParseHexLine(2, TrimLine(c.text), count);
  EXPECT_EQ(any, !c.bytes.empty());
  ASSERT_EQ(count, static_cast<int>(c.bytes.size()));
  EXPECT_EQ(Bytes(parser.Data(), parser.Data() + count), c.bytes);
  EXPECT_EQ(log.Texts(), c.errors);
  for (const auto& line : log.lines) {
    EXPECT_EQ(line.kind, lkError);
    EXPECT_TRUE(line.midiOutSide);
    EXPECT_TRUE(line.repaintNow);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseHexLineTest,
    ::testing::Values(
        ParseCase{"UpperCase", "F0 7E 7F 06 01 F7", {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, {}},
        ParseCase{"LowerCase", "f0 7e 7f 06 01 f7", {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, {}},
        ParseCase{"NoSeparators", "F07E", {0xF0, 0x7E}, {}},
        ParseCase{"ControlCharsSeparate", "F0\t7E\x01" "7F", {0xF0, 0x7E, 0x7F}, {}},
        ParseCase{"SlashComment", "F0 7E // comment F7", {0xF0, 0x7E}, {}},
        ParseCase{"SemicolonLine", "; F0 7E", {}, {}},
        ParseCase{"HashLine", "# F0 7E", {}, {}},
        ParseCase{"SemicolonAfterBytes", "F0 7E;F7", {0xF0, 0x7E}, {}},
        ParseCase{"TrailingSingleDigitIgnored", "F0 7", {0xF0}, {}},
        ParseCase{"SingleDigitBeforeBlank", "F0 1 F7", {0xF0, 0xF7}, {"line 3:5: Unexpected characters: \"1 \""}},
        ParseCase{"NoHexAtAll", "ZZ", {}, {"line 3:2: Unexpected characters: \"ZZ\""}},
        ParseCase{"SingleSlashIsNoComment", "/x", {}, {"line 3:2: Unexpected characters: \"/x\""}},
        ParseCase{"CommaBetweenBytes", "F0,7E", {0xF0, 0x7E}, {"line 3:4: Unexpected characters: \",7\""}},
        ParseCase{"TwoBadPairsInARow", "G0 41", {0x41}, {"line 3:2: Unexpected characters: \"G0\"",
                                    "line 3:3: Unexpected characters: \"0 \""}},
        ParseCase{"Empty", "", {}, {}}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(ParseHexLine, BufferKeepsZerosAfterShortLineAndGrowsOnlyWhenNeeded) {
  test::TCaptureLog log;
  THexParser parser(log);
  int count = 0;
  std::string longLine;
  for (int i = 0; i < 100; ++i) longLine += "7F ";
  ASSERT_TRUE(parser.ParseHexLine(0, TrimLine(longLine), count));
  EXPECT_EQ(count, 100);
  const size_t grown = parser.MessageBuffer().Capacity();
  EXPECT_EQ(grown, TrimLine(longLine).size() / 2 + 5);

  ASSERT_TRUE(parser.ParseHexLine(1, "C0", count));
  EXPECT_EQ(count, 1);
  EXPECT_EQ(parser.MessageBuffer().Capacity(), grown);  // a larger buffer stays in use
  const uint8_t* d = parser.Data();
  EXPECT_EQ(d[0], 0xC0);
  EXPECT_EQ(d[1], 0);
  EXPECT_EQ(d[2], 0);
  EXPECT_EQ(d[3], 0);

  THexParser fresh(log);
  ASSERT_TRUE(fresh.ParseHexLine(0, "90 3C", count));
  EXPECT_EQ(fresh.MessageBuffer().Capacity(), TMessageBuffer::kMinimumSize);
  EXPECT_EQ(fresh.Data()[2], 0);
}

std::vector<std::string> Render(const Bytes& bytes, int maxPerLine) {
  std::vector<std::string> lines;
  AppendBytesAsLines(bytes.data(), bytes.size(), maxPerLine,
                     [&](std::string&& l) { lines.push_back(std::move(l)); });
  return lines;
}

TEST(FormatHexLine, BreaksBeforeStatusBytesButKeepsF7) {
  const Bytes two = {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7,
                     0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7F, 0x00, 0xF7};
  EXPECT_EQ(Render(two, -1), (std::vector<std::string>{"F0 43 10 4C 00 00 7E 00 F7",
                                                       "F0 43 10 4C 00 00 7F 00 F7"}));
  EXPECT_EQ(Render(Bytes(two.begin(), two.begin() + 9), 4),
            (std::vector<std::string>{"F0 43 10 4C", "00 00 7E 00", "F7"}));
  EXPECT_EQ(Render({0x90, 0x3C, 0x7F, 0x80, 0x3C, 0x00}, 0),
            (std::vector<std::string>{"90 3C 7F", "80 3C 00"}));
  EXPECT_EQ(Render({0x7F, 0x7F, 0x7F}, -1), (std::vector<std::string>{"7F 7F 7F"}));
  EXPECT_EQ(Render({0xF0, 0x01, 0xF8, 0x02, 0xF7}, -1),
            (std::vector<std::string>{"F0 01", "F8 02 F7"}));
  EXPECT_EQ(Render({0xF0, 0x01, 0x02}, 1), (std::vector<std::string>{"F0", "01", "02"}));
  EXPECT_TRUE(Render({}, -1).empty());
}

TEST(FormatHexLine, ConsumesWhatItRendersAndLeavesTheRest) {
  const Bytes bytes = {0xF0, 0x01, 0x02, 0xF7, 0x90};
  const uint8_t* p = bytes.data();
  size_t remaining = bytes.size();
  EXPECT_EQ(FormatHexLine(p, remaining, 3), "F0 01 02");
  EXPECT_EQ(remaining, 2u);
  EXPECT_EQ(p, bytes.data() + 3);
  EXPECT_EQ(FormatHexLine(p, remaining, 3), "F7");
  EXPECT_EQ(FormatHexLine(p, remaining, 3), "90");
  EXPECT_EQ(remaining, 0u);
}

// Streamed in pieces of any size, bytes give exactly the lines FormatHexLine
// gives for all of them at once.
TEST(HexLineStreamer, PiecesOfAnySizeGiveTheLinesOfTheWhole) {
  unsigned state = 11;
  auto rnd = [&](unsigned n) {
    state = state * 1103515245u + 12345u;
    return (state >> 16) % n;
  };
  for (int run = 0; run < 200; ++run) {
    std::vector<uint8_t> bytes(rnd(400));
    for (auto& b : bytes) b = rnd(4) == 0 ? static_cast<uint8_t>(0x80 + rnd(128)) : static_cast<uint8_t>(rnd(128));
    const int maxPerLine = rnd(3) == 0 ? -1 : static_cast<int>(1 + rnd(20));
    std::vector<std::string> whole;
    AppendBytesAsLines(bytes.data(), bytes.size(), maxPerLine, [&](std::string&& l) { whole.push_back(l); });
    std::vector<std::string> streamed;
    THexLineStreamer streamer(maxPerLine);
    const auto onLine = [&](const std::string& l) { streamed.push_back(l); };
    for (size_t at = 0; at < bytes.size();) {
      const size_t n = std::min<size_t>(bytes.size() - at, 1 + rnd(30));
      streamer.Feed(bytes.data() + at, n, onLine);
      at += n;
    }
    streamer.Finish(onLine);
    ASSERT_EQ(streamed, whole) << "run " << run << ", " << maxPerLine << " per line";
  }
}

TEST(MessageLength, FollowsTheStatusByte) {
  const std::vector<std::pair<uint8_t, int>> cases = {
      {0x00, 0}, {0x7F, 0}, {0x80, 3}, {0x9F, 3}, {0xA0, 3}, {0xB5, 3}, {0xC0, 2}, {0xDF, 2},
      {0xE0, 3}, {0xF0, 1}, {0xF1, 2}, {0xF2, 3}, {0xF3, 2}, {0xF4, 1}, {0xF6, 1}, {0xF7, 1},
      {0xF8, 1}, {0xFE, 1}, {0xFF, 1}};
  for (const auto& [status, length] : cases) EXPECT_EQ(MessageLength(status), length) << int(status);
}

TEST(ShortMessageText, RendersByLength) {
  EXPECT_EQ(ShortMessageText(0xF8, 0x11, 0x22), "F8");
  EXPECT_EQ(ShortMessageText(0xC0, 0x05, 0x22), "C0 05");
  EXPECT_EQ(ShortMessageText(0x90, 0x3C, 0x7F), "90 3C 7F");
  EXPECT_EQ(ShortMessageText(0x3C, 0x7F, 0x00), "");
}

TEST(SplitOptions, ThresholdOnlyWhenSplittingIsOn) {
  TSplitOptions o;
  EXPECT_EQ(o.SplitThreshold(), -1);
  o.splitLongMessages = true;
  EXPECT_EQ(o.SplitThreshold(), 32);
  o.threshold = 0;
  EXPECT_EQ(o.SplitThreshold(), 0);
}

}  // namespace
// "wait N" comments: the forms users write, and what is no wait.
TEST(WaitComment, FormsAndNonForms) {
  const std::pair<const char*, int> cases[] = {
      {"; wait 500", 500},        {"// Wait 500 ms", 500},   {"# WAIT 20", 20},      {"F0 01 F7 ; wait 100", 100},
      {"; wait 500ms", 500},      {";wait 0", 0},            {"; waiting 5", -1},    {"; wait", -1},
      {"; wait -5", -1},          {"; wait 5 s", -1},        {"F0 01 F7", -1},       {"; note: wait 5", -1},
  };
  for (const auto& [line, ms] : cases) EXPECT_EQ(WaitCommentMs(line), ms) << line;
}

}  // namespace kalvex
