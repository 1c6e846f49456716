#include "editor/core/bm_gutter.h"

namespace kalvex {

std::string GutterNumberText(int firstNumber, int row, bool zeroStart, int leadingDigits, int lineCount) {
  const int number = firstNumber + row - (zeroStart ? 1 : 0);
  if (lineCount >= 0 && number > lineCount) return {};
  std::string text = std::to_string(number);
  if (leadingDigits >= static_cast<int>(text.size()))
    text.insert(0, static_cast<size_t>(leadingDigits + 1) - text.size(), '0');
  return text;
}

}  // namespace kalvex
