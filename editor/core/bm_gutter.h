#pragma once
#include <string>

namespace kalvex {

// Limits and number text of the line-number gutter, apart from painting.
constexpr int kGutterDefaultWidth = 26;
constexpr int kGutterMinWidth = 12;
constexpr int kGutterMaxWidth = 48;
constexpr int kGutterMinPaintWidth = 14;
constexpr int kGutterMaxLeadingDigits = 8;
constexpr int kRightEdgeMinCol = 1;
constexpr int kRightEdgeMaxCol = 1600;

inline int ClampGutterWidth(int w) { return w < kGutterMinWidth ? kGutterMinWidth : (w > kGutterMaxWidth ? kGutterMaxWidth : w); }
inline int ClampLeadingDigits(int d) { return d < 0 ? 0 : (d > kGutterMaxLeadingDigits ? kGutterMaxLeadingDigits : d); }
inline int ClampGutterSpace(int space, int width) {
  const int most = width / 3 < 1 ? 1 : width / 3;
  return space < 1 ? 1 : (space > most ? most : space);
}
inline int ClampRightEdgeCol(int c) { return c < kRightEdgeMinCol ? kRightEdgeMinCol : (c > kRightEdgeMaxCol ? kRightEdgeMaxCol : c); }

// The number of a gutter row: first number + row, minus one with zeroStart.
// Empty when lineCount is not negative and the number exceeds it. With
// leadingDigits at least the number's digit count, zeros go in front until the
// text has leadingDigits + 1 characters.
std::string GutterNumberText(int firstNumber, int row, bool zeroStart, int leadingDigits, int lineCount);

}  // namespace kalvex
