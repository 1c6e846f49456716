#pragma once
#include <cstdint>
#include <string>

namespace kalvex {

// A text position: column (bytes into the line; a tab is one) and line, 0-based.
struct TBMPos {
  int col = 0;
  int line = 0;
  friend bool operator==(const TBMPos&, const TBMPos&) = default;
};

// Line first, then column.
inline bool operator<(const TBMPos& a, const TBMPos& b) {
  return a.line != b.line ? a.line < b.line : a.col < b.col;
}
inline bool operator<=(const TBMPos& a, const TBMPos& b) { return !(b < a); }

// The caret and selection snapshot that undo records keep. The selection
// start is never after its end; with the selection off the start follows the
// caret, the end is (0, 0) and the anchor (-1, -1).
struct TBMEditState {
  bool selAvail = false;
  int anchorCol = -1, anchorLine = -1;
  int selStartCol = 0, selStartLine = 0;
  int selEndCol = 0, selEndLine = 0;
  int caretCol = 0, caretLine = 0;
  friend bool operator==(const TBMEditState&, const TBMEditState&) = default;
};

enum TBMUndoKind : uint8_t {
  ukDelete = 0,  // text was removed
  ukInsert = 1,  // a block of text was inserted
  ukTyping = 2,  // characters or line breaks were typed
  ukReplace = 3,  // the whole text was replaced: text the old, inserted the new
};

// One history record; line breaks inside text are CR LF.
struct TBMUndoBlock {
  TBMUndoKind kind = ukDelete;
  std::string text;
  std::string inserted;  // ukReplace only
  TBMEditState before;
  TBMEditState after;
  bool endsWithBlank = false;      // typing only: last char below 33, not CR/LF
  bool endsWithLineBreak = false;  // typing only: last char CR or LF
};

}  // namespace kalvex
