#include "editor/core/bm_text_geometry.h"

#include <algorithm>

namespace kalvex {

namespace {
constexpr int kAutoScrollPixelsPerStep = 30;
constexpr int kAutoScrollMaxSteps = 5;  // plus the one step outside the window

int CellWidth(char c, int displayCol, int tabWidth) {
  return c == '\t' ? tabWidth - displayCol % tabWidth : 1;
}
}  // namespace

int LogicalToDisplayCol(std::string_view line, int col, int tabWidth) {
  tabWidth = std::max(1, tabWidth);
  if (col <= 0) return std::max(col, 0);
  const int inLine = std::min<int>(col, static_cast<int>(line.size()));
  // Lines without tabs (the usual case) need no walk.
  if (line.substr(0, static_cast<size_t>(inLine)).find('\t') == std::string_view::npos) return col;
  int d = 0;
  for (int i = 0; i < inLine; ++i) d += CellWidth(line[static_cast<size_t>(i)], d, tabWidth);
  return d + (col - inLine);
}

int DisplayToLogicalCol(std::string_view line, int displayCol, int tabWidth) {
  tabWidth = std::max(1, tabWidth);
  if (displayCol <= 0) return 0;
  int d = 0;
  for (int i = 0; i < static_cast<int>(line.size()); ++i) {
    const int w = CellWidth(line[static_cast<size_t>(i)], d, tabWidth);
    if (displayCol < d + w) return i;
    d += w;
  }
  return static_cast<int>(line.size()) + (displayCol - d);
}

int DisplayLength(std::string_view line, int tabWidth) {
  return LogicalToDisplayCol(line, static_cast<int>(line.size()), tabWidth);
}

std::string DisplayString(std::string_view line, int leftCol, int count, int tabWidth) {
  tabWidth = std::max(1, tabWidth);
  std::string out;
  if (count <= 0) return out;
  const int right = leftCol + count;  // first display column not shown
  int d = 0;
  size_t i = 0;
  // Skip quickly to the first visible character on lines without tabs.
  if (leftCol > 0 && line.find('\t') == std::string_view::npos) {
    i = std::min(line.size(), static_cast<size_t>(leftCol));
    d = static_cast<int>(i);
  }
  for (; i < line.size() && d < right; ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    const int w = CellWidth(static_cast<char>(c), d, tabWidth);
    for (int k = 0; k < w; ++k, ++d) {
      if (d < leftCol || d >= right) continue;
      out += (c == '\t') ? ' ' : (c < 32 ? '.' : static_cast<char>(c));
    }
  }
  return out;
}

bool IsWordChar(unsigned char c) {
  return (c >= '0' && c <= '9') || c == '@' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         c >= 128;
}

std::optional<TBMWord> WordAt(std::string_view line, int col) {
  const int n = static_cast<int>(line.size());
  if (n == 0) return std::nullopt;
  auto word = [&](int i) { return IsWordChar(static_cast<unsigned char>(line[static_cast<size_t>(i)])); };
  int p = (col >= n) ? n - 1 : std::max(col, 0);
  if (!word(p)) {
    if (p == 0) return std::nullopt;
    // Look left for the nearest word character, down to the line's second one.
    int q = p - 1;
    while (q >= 1 && !word(q)) --q;
    if (q < 1 || !word(q)) return std::nullopt;
    p = q;
  }
  int s = p, e = p;
  while (s > 0 && word(s - 1)) --s;
  while (e + 1 < n && word(e + 1)) ++e;
  return TBMWord{s, std::string(line.substr(static_cast<size_t>(s), static_cast<size_t>(e - s + 1)))};
}

int AutoScrollStep(int coord, int extent) {
  // Integer division truncates toward zero, as the steps expect.
  if (coord < 0) return std::max(coord / kAutoScrollPixelsPerStep, -kAutoScrollMaxSteps) - 1;
  if (coord > extent) return std::min((coord - extent) / kAutoScrollPixelsPerStep, kAutoScrollMaxSteps) + 1;
  return 0;
}

}  // namespace kalvex
