#include "editor/core/bm_text_geometry.h"

#include <gtest/gtest.h>

namespace kalvex {
namespace {

TEST(TextGeometry, TabsExpandToTheNextStop) {
  const struct {
    std::string line;
    int col, display;
  } cases[] = {
      {"\tx", 0, 0}, {"\tx", 1, 8}, {"\tx", 2, 9}, {"ab\tx", 3, 8},
      {"abcdefgh\t", 9, 16}, {"ab", 5, 5}, {"\t", 3, 10},
  };
  for (const auto& c : cases) EXPECT_EQ(LogicalToDisplayCol(c.line, c.col, 8), c.display) << c.col;
  for (int d = 0; d < 8; ++d) EXPECT_EQ(DisplayToLogicalCol("\tx", d, 8), 0);
  EXPECT_EQ(DisplayToLogicalCol("\tx", 8, 8), 1);
  EXPECT_EQ(DisplayToLogicalCol("\tx", 12, 8), 5);
  EXPECT_EQ(DisplayLength("a\tb\t", 4), 8);
}

TEST(TextGeometry, DisplayStringShowsControlsAsDotsAndClipsToTheWindow) {
  EXPECT_EQ(DisplayString("\tx", 0, 20, 8), "        x");
  EXPECT_EQ(DisplayString(std::string("a\0b\x01\xF0", 5), 0, 20, 8), "a.b.\xF0");
  EXPECT_EQ(DisplayString("0123456789", 3, 4, 8), "3456");
  EXPECT_EQ(DisplayString("a\tb", 4, 5, 8), "    b");
  EXPECT_EQ(DisplayString("abc", 5, 5, 8), "");
}

TEST(TextGeometry, WordAt) {
  const struct {
    std::string line;
    int col;
    bool found;
    int start;
    std::string word;
  } cases[] = {
      {"F0 43", 1, true, 0, "F0"},
      {"F0 43", 2, true, 0, "F0"},     // blank: the word on its left
      {"F0 43", 9, true, 3, "43"},     // beyond the end: the last character's word
      {"ab_cd", 2, true, 0, "ab"},     // "_" never joins words
      {"a@b\xE9", 0, true, 0, "a@b\xE9"},
      {" ab", 0, false, 0, ""},
      {"  ab", 1, false, 0, ""},       // looks left only down to the second character
      {"", 0, false, 0, ""},
  };
  for (const auto& c : cases) {
    const auto w = WordAt(c.line, c.col);
    ASSERT_EQ(w.has_value(), c.found) << c.line << " @" << c.col;
    if (w) {
      EXPECT_EQ(w->startCol, c.start);
      EXPECT_EQ(w->text, c.word);
    }
  }
}

TEST(TextGeometry, AutoScrollStepsRunFromOneToSix) {
  const struct {
    int coord, step;
  } cases[] = {{50, 0}, {0, 0}, {100, 0}, {-1, -1}, {-29, -1}, {-30, -2}, {-149, -5},
               {-150, -6}, {-5000, -6}, {101, 1}, {130, 2}, {5000, 6}};
  for (const auto& c : cases) EXPECT_EQ(AutoScrollStep(c.coord, 100), c.step) << c.coord;
}

}  // namespace
}  // namespace kalvex

#include "editor/core/bm_gutter.h"

namespace kalvex {
namespace {

TEST(Gutter, NumbersAndLimits) {
  EXPECT_EQ(GutterNumberText(1, 0, false, 0, 10), "1");
  EXPECT_EQ(GutterNumberText(1, 0, true, 0, 10), "0");
  EXPECT_EQ(GutterNumberText(1, 10, false, 0, 10), "");    // beyond the line count
  EXPECT_EQ(GutterNumberText(1, 10, false, 0, -1), "11");  // no limit
  EXPECT_EQ(GutterNumberText(7, 0, false, 2, -1), "007");
  EXPECT_EQ(GutterNumberText(123, 0, false, 2, -1), "123");
  EXPECT_EQ(GutterNumberText(99, 0, false, 2, -1), "099");
  EXPECT_EQ(ClampGutterWidth(5), 12);
  EXPECT_EQ(ClampGutterWidth(100), 48);
  EXPECT_EQ(ClampLeadingDigits(12), 8);
  EXPECT_EQ(ClampGutterSpace(20, 26), 8);
  EXPECT_EQ(ClampRightEdgeCol(0), 1);
  EXPECT_EQ(ClampRightEdgeCol(5000), 1600);
}

}  // namespace
}  // namespace kalvex
