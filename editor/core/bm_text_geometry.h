#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace kalvex {

// Tab expansion and word finding on one line. Display columns are 0-based
// here; a tab at display column d fills the cells up to the next multiple of
// the tab width.

// Display column of logical column `col`; columns beyond the line map one to one.
int LogicalToDisplayCol(std::string_view line, int col, int tabWidth);
// Logical column of a display cell; a cell covered by a tab gives the tab's column.
int DisplayToLogicalCol(std::string_view line, int displayCol, int tabWidth);
// Number of cells the whole line takes.
int DisplayLength(std::string_view line, int tabWidth);

// What one row shows from display column `leftCol`, at most `count` cells:
// tabs become blanks, every byte below 32 becomes ".".
std::string DisplayString(std::string_view line, int leftCol, int count, int tabWidth);

// Word characters: digits, "@", ASCII letters, and every byte of 128 or more.
bool IsWordChar(unsigned char c);

struct TBMWord {
  int startCol = 0;
  std::string text;
};
// The word around a position, or nothing (see the editor's double click).
std::optional<TBMWord> WordAt(std::string_view line, int col);

// Autoscroll step for a mouse coordinate outside 0..extent (30 pixels per
// step, 1 to 6 steps either way); 0 inside.
int AutoScrollStep(int coord, int extent);

}  // namespace kalvex
