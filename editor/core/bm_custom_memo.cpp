#include "editor/core/bm_custom_memo.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <optional>

#include "editor/core/bm_text_geometry.h"

namespace kalvex {

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr int kWheelUnitsPerLine = 40;
constexpr int kDropListIdleStep = 500;        // idle units per blink tick
constexpr int kDropListIdleUnitsPerDelay = 1000;
constexpr int kMaxDropListTimeDelay = 10;

bool IsLetterKey(int key) { return key >= 'A' && key <= 'Z'; }

// Fills a line with blanks up to a column beyond its end; gives their count.
int PadTo(std::string& line, int col) {
  const int blanks = col - static_cast<int>(line.size());
  if (blanks <= 0) return 0;
  line.append(static_cast<size_t>(blanks), ' ');
  return blanks;
}

// Whole lines a wheel delta scrolls; the rest waits for the next event of the
// same direction.
int WheelSteps(int& rest, int delta) {
  if ((rest > 0 && delta < 0) || (rest < 0 && delta > 0)) rest = 0;
  rest += delta;
  const int steps = rest / kWheelUnitsPerLine;
  rest -= steps * kWheelUnitsPerLine;
  return steps;
}

}  // namespace

TBMCustomMemo::TBMCustomMemo() {
  lines_.OnChanging = [this](TBMStrings&) { lines_changing_ = true; };
  lines_.OnChange = [this](TBMStrings&) {
    lines_changing_ = false;
    StoreChanged();
  };
  lines_.OnLinesChanged = [this](TBMStrings&, int first, int last) { OnLinesChanged(first, last); };
  lines_.OnMaxLengthChanged = [this](TBMStrings&) { OnMaxLengthChanged(); };
}

TBMCustomMemo::~TBMCustomMemo() {
  lines_.OnChanging = nullptr;
  lines_.OnChange = nullptr;
  lines_.OnLinesChanged = nullptr;
  lines_.OnMaxLengthChanged = nullptr;
}

// ---------------------------------------------------------------- reactions

void TBMCustomMemo::OnLinesChanged(int first, int last) {
  if (OnChange) OnChange();
  if (first == TBMStrings::kWholeText) {
    caret_ = {0, 0};
    top_line_ = 0;
    left_col_ = 0;
    sel_avail_ = false;
    sel_start_ = {0, 0};
    sel_end_ = {0, 0};
    anchor_ = {-1, -1};
    // The longest line was announced while the lines came in; a range of 0
    // here would leave it out of reach until the caret enters it.
    horz_range_ = lines_.MaxLineLength();
    ClearUndo();
    Modified = false;
    ScrollBarsChanged();
    InvalidateAll();
    return;
  }
  if (last == TBMStrings::kToEnd) last = lines_.Count();
  if (last < top_line_ || first > top_line_ + visible_lines_) return;
  if (last - first >= 3)
    InvalidateAll();
  else
    RepaintLines(first, last);
}

void TBMCustomMemo::OnMaxLengthChanged() {
  if (lines_.MaxLineLength() > horz_range_) {
    horz_range_ = lines_.MaxLineLength();
    ScrollBarsChanged();
  }
}

// ---------------------------------------------------------------- options

void TBMCustomMemo::SetReadOnly(bool value) {
  if (value == read_only_) return;
  read_only_ = value;
  CaretReadOnlyChanged();
}

void TBMCustomMemo::SetTabWidth(int value) {
  value = std::max(1, value);
  if (value == tab_width_) return;
  tab_width_ = value;
  InvalidateAll();
}

// ---------------------------------------------------------------- caret and selection

int TBMCustomMemo::LineLength(int line) const {
  if (line < 0 || line >= lines_.Count()) return 0;
  return static_cast<int>(lines_[line].size());
}

TBMEditState TBMCustomMemo::EditState() const {
  return {sel_avail_, anchor_.col, anchor_.line, sel_start_.col, sel_start_.line,
          sel_end_.col, sel_end_.line, caret_.col, caret_.line};
}

// Repaints the rows a caret and selection state covers.
void TBMCustomMemo::RepaintStateRows(const TBMEditState& s) {
  int first = s.caretLine, last = s.caretLine;
  if (s.selAvail) {
    first = std::min(first, s.selStartLine);
    last = std::max(last, s.selEndLine);
  }
  RepaintVisible(first, last);
}

void TBMCustomMemo::RestoreEditState(const TBMEditState& s) {
  // Repaint the rows the old and new caret and selection touch; a whole
  // repaint would cost a full frame per Undo.
  const TBMEditState old = EditState();
  TBMPos caret{s.caretCol, s.caretLine};
  if (s.selAvail) {
    anchor_ = {s.anchorCol, s.anchorLine};
    SetSelection({s.selStartCol, s.selStartLine}, {s.selEndCol, s.selEndLine});
    if (sel_avail_) KeepCaretAtSelectionEnd(caret);
  } else {
    SelectionOff();
  }
  SetCaret(caret.col, caret.line);
  const int oldTop = top_line_;
  ScrollCaretIntoView();
  if (top_line_ != oldTop) {
    InvalidateAll();
  } else {
    RepaintStateRows(old);
    RepaintStateRows(s);
  }
}

void TBMCustomMemo::ClampPos(TBMPos& p) const {
  const int count = lines_.Count();
  if (p.line < 0) {
    p = {0, 0};
    return;
  }
  if (count == 0) {
    p = {0, 0};
    return;
  }
  if (p.line > count - 1) {
    p = {LineLength(count - 1), count - 1};
    return;
  }
  if (p.col < 0) p.col = 0;
  if (!AllowCaretInWhiteSpace) p.col = std::min(p.col, LineLength(p.line));
}

void TBMCustomMemo::SetCaret(int col, int line) {
  const TBMPos old = caret_;
  line = std::max(0, std::min(line, lines_.Count() - 1));
  col = std::max(0, col);
  if (!AllowCaretInWhiteSpace) col = std::min(col, LineLength(line));
  caret_ = {col, line};
  if (!sel_avail_) sel_start_ = caret_;
  if (old != caret_) {
    RepaintVisible(old.line, old.line);
    if (old.line != caret_.line) RepaintVisible(caret_.line, caret_.line);
    CaretMoved();
  }
  if (OnCaretMove) OnCaretMove();
}

void TBMCustomMemo::SelectionOff() {
  sel_avail_ = false;
  sel_start_ = caret_;
  sel_end_ = {0, 0};
  anchor_ = {-1, -1};
}

void TBMCustomMemo::SetSelection(TBMPos a, TBMPos b) {
  ClampPos(a);
  ClampPos(b);
  if (a == b) {
    SelectionOff();
    SetCaret(a.col, a.line);
    return;
  }
  if (b < a) std::swap(a, b);
  sel_start_ = a;
  sel_end_ = b;
  sel_avail_ = true;
}

// A selection is shown with the caret at one end and the anchor at the
// other, so Shift with an arrow extends it from where it is. A copy dropped
// elsewhere recorded the drop point as its caret; undoing it brings back the
// source selection, and the caret goes to that selection's free end.
void TBMCustomMemo::KeepCaretAtSelectionEnd(TBMPos& caret) {
  ClampPos(caret);
  if (caret == sel_start_)
    anchor_ = sel_end_;
  else if (caret == sel_end_)
    anchor_ = sel_start_;
  else if (anchor_ == sel_end_)
    caret = sel_start_;
  else {
    anchor_ = sel_start_;
    caret = sel_end_;
  }
}

void TBMCustomMemo::SelectRange(TBMPos a, TBMPos b) {
  SetSelection(a, b);
  if (sel_avail_) {
    SetCaret(sel_end_.col, sel_end_.line);
    anchor_ = sel_start_;
  } else {
    SetCaret(b.col, b.line);
  }
  InvalidateAll();
}

void TBMCustomMemo::SelectAll() {
  const int last = lines_.Count() - 1;
  SelectRange({0, 0}, {LineLength(last), std::max(last, 0)});
}

void TBMCustomMemo::MoveCaret(int col, int line, bool scrollIntoView, TBMShift shift) {
  TBMPos target{col, line};
  ClampPos(target);
  const TBMPos oldCaret = caret_;
  const bool hadSel = sel_avail_;
  const TBMPos oldStart = sel_start_, oldEnd = sel_end_;
  if (shift & ssShift) {
    if (!sel_avail_ || anchor_.line < 0) {
      anchor_ = caret_;
      SetSelection(caret_, target);
    } else {
      SetSelection(anchor_, target);
    }
  } else if (sel_avail_) {
    SelectionOff();
  }
  SetCaret(target.col, target.line);
  if (lines_changing_) return;
  WidenHorzRangeToCaretLine();
  int first = std::min(oldCaret.line, target.line), last = std::max(oldCaret.line, target.line);
  if (hadSel) {
    first = std::min(first, oldStart.line);
    last = std::max(last, oldEnd.line);
  }
  if (sel_avail_) {
    first = std::min(first, sel_start_.line);
    last = std::max(last, sel_end_.line);
  }
  RepaintVisible(first, last);
  if (scrollIntoView) {
    ScrollCaretIntoView();
    ShowCaretHold();
  }
}

void TBMCustomMemo::RepaintVisible(int first, int last) {
  if (lines_changing_) return;
  first = std::max(first, top_line_);
  last = std::min(last, top_line_ + visible_lines_);
  if (first <= last) RepaintLines(first, last);
}

// ---------------------------------------------------------------- editing primitives

void TBMCustomMemo::InsertText(std::string_view text, int col, bool record, bool select, int line) {
  InsertTextAt(text, col, record, select, line, AllowCaretInWhiteSpace);
}

// With padding, blanks fill the line up to a column beyond its end. They are
// recorded with the text, from the old line end, so that Undo takes them back
// too and Redo puts them in again; Undo and Redo themselves never pad.
void TBMCustomMemo::InsertTextAt(std::string_view text, int col, bool record, bool select, int line, bool pad) {
  if (text.empty()) return;
  if (lines_.Empty()) lines_.Add(std::string());
  std::optional<TBMUpdateGuard> update(std::in_place, lines_);
  const int count = lines_.Count();
  if (line > count - 1) {
    line = count - 1;
    col = LineLength(line);
  }
  line = std::max(line, 0);
  col = std::max(col, 0);
  std::string current = lines_[line];
  const int oldLength = static_cast<int>(current.size());
  int padding = 0;
  if (oldLength < col) {
    if (pad)
      padding = PadTo(current, col);
    else
      col = oldLength;
  }
  SetCaret(col, line);
  if (record) {
    TakeStateBefore();
    if (padding > 0) MoveStateBeforeCaret(oldLength);
  }
  const size_t headLength = static_cast<size_t>(col);
  const size_t tailLength = current.size() - headLength;
  std::string built;
  built.reserve(current.size() + text.size());
  built.append(current, 0, headLength);
  built.append(text);
  built.append(current, headLength, std::string::npos);
  current.clear();
  current.shrink_to_fit();
  std::vector<std::string> pieces = SplitLines(built, true);
  built.clear();
  built.shrink_to_fit();
  std::string last = std::move(pieces.back());
  pieces.pop_back();
  const int firstLine = line;
  if (!pieces.empty()) {
    line += static_cast<int>(pieces.size());
    lines_.InsertLines(firstLine, std::move(pieces));
  }
  const int endCol = std::max(0, static_cast<int>(last.size()) - static_cast<int>(tailLength));
  lines_.Put(line, std::move(last));
  if (select) {
    SetSelection({static_cast<int>(headLength), firstLine}, {endCol, line});
    SetCaret(endCol, line);
  } else {
    SetCaret(endCol, line);
  }
  if (record) Record(ukInsert, std::string(static_cast<size_t>(padding), ' ') + std::string(text));
  update.reset();
  ScrollCaretIntoView();
  // Within one line the change was repainted as announced; more lines shift
  // everything below.
  if (line != firstLine || select) InvalidateAll();
}

// The selection clamped into the text (columns within their lines); false
// when there is nothing selected or it starts at or after the end of the text.
bool TBMCustomMemo::SelectionBounds(TBMPos& s, TBMPos& e) const {
  const int count = lines_.Count();
  if (!sel_avail_ || count == 0) return false;
  s = sel_start_;
  e = sel_end_;
  if (s.line > count - 1 || (s.line == count - 1 && s.col >= LineLength(s.line))) return false;
  if (e.line > count - 1) e = {LineLength(count - 1), count - 1};
  s.col = std::min(s.col, LineLength(s.line));
  e.col = std::min(e.col, LineLength(e.line));
  if (s.line == e.line) e.col = std::max(e.col, s.col);
  return true;
}

// Text from s to e (both within the text), lines joined by CR LF.
std::string TBMCustomMemo::TextBetween(TBMPos s, TBMPos e) const {
  const std::string& startLine = lines_[s.line];
  if (s.line == e.line) return startLine.substr(static_cast<size_t>(s.col), static_cast<size_t>(e.col - s.col));
  size_t total = startLine.size() - static_cast<size_t>(s.col) + static_cast<size_t>(e.col) + kCrLf.size();
  for (int i = s.line + 1; i < e.line; ++i) total += lines_[i].size() + kCrLf.size();
  std::string text;
  text.reserve(total);
  text.append(startLine, static_cast<size_t>(s.col), std::string::npos);
  for (int i = s.line + 1; i < e.line; ++i) {
    text += kCrLf;
    text += lines_[i];
  }
  text += kCrLf;
  text.append(lines_[e.line], 0, static_cast<size_t>(e.col));
  return text;
}

std::string TBMCustomMemo::RemoveSelection(bool record, bool returnText) {
  TBMPos s, e;
  if (!SelectionBounds(s, e)) return {};
  if (record) TakeStateBefore();
  std::string text = (record || returnText) ? TextBetween(s, e) : std::string();
  {
    TBMUpdateGuard update(lines_);
    RemoveRange(s, e);
    SetCaret(s.col, s.line);  // where the removed text began
    SelectionOff();
  }
  if (record && !text.empty()) Record(ukDelete, text);
  if (s.line == e.line)
    RepaintVisible(s.line, s.line);
  else
    RepaintVisible(top_line_, top_line_ + visible_lines_);
  ScrollBarsChanged();
  return text;
}

// Removes the text from s to e (both inside the text, s first): the one
// routine behind Delete, Backspace and selections, joining lines or not.
void TBMCustomMemo::RemoveRange(TBMPos s, TBMPos e) {
  TBMUpdateGuard update(lines_);
  if (s.line == e.line) {
    if (e.col <= s.col) return;
    std::string changed = lines_[s.line];
    changed.erase(static_cast<size_t>(s.col), static_cast<size_t>(e.col - s.col));
    lines_.Put(s.line, std::move(changed));
    return;
  }
  std::string joined = lines_[s.line].substr(0, static_cast<size_t>(s.col));
  joined.append(lines_[e.line], static_cast<size_t>(e.col), std::string::npos);
  lines_.DeleteLines(s.line + 1, e.line - s.line);
  lines_.Put(s.line, std::move(joined));
}

void TBMCustomMemo::DeleteSelection() { RemoveSelection(true, false); }

std::string TBMCustomMemo::GetSelText() const {
  TBMPos s, e;
  return SelectionBounds(s, e) ? TextBetween(s, e) : std::string();
}

// A removal left out of the history would make every older step replay at
// positions that no longer hold (Undo after it wiped the wrong text), so it
// is recorded like any other.
void TBMCustomMemo::ClearSelection() { RemoveSelection(true, false); }

void TBMCustomMemo::AppendText(std::string_view text) {
  const bool modified = Modified;  // the program's text, not the user's
  const int last = std::max(lines_.Count() - 1, 0);
  InsertText(text, LineLength(last), true, false, last);
  ClearUndo();
  Modified = modified;
}

// ---------------------------------------------------------------- undo

// The state before a change is held aside until the change is recorded, so a
// change that ends up recording nothing cannot spoil the block Redo needs next.
void TBMCustomMemo::TakeStateBefore() { state_before_ = EditState(); }

// The recorded change starts at this column (where padding blanks begin).
void TBMCustomMemo::MoveStateBeforeCaret(int col) {
  state_before_.caretCol = col;
  if (!state_before_.selAvail) state_before_.selStartCol = col;
}

void TBMCustomMemo::Record(TBMUndoKind kind, std::string text) {
  if (read_only_ || text.empty()) return;
  Modified = true;
  history_.Record(kind, std::move(text), state_before_, EditState());
}

void TBMCustomMemo::RemoveExtent(const std::string& text, TBMPos start) {
  int breaks = 0;
  size_t from = 0, pos = 0, len = 0, afterLast = 0;
  while (FindLineBreak(text, from, pos, len)) {
    ++breaks;
    from = afterLast = pos + len;
  }
  TBMPos end = breaks == 0 ? TBMPos{start.col + static_cast<int>(text.size()), start.line}
                           : TBMPos{static_cast<int>(text.size() - afterLast), start.line + breaks};
  SetSelection(start, end);
  RemoveSelection(false, false);
}

void TBMCustomMemo::ReplaceAllText(std::string_view text) {
  if (read_only_) return;
  const TBMEditState before = EditState();
  std::string removed = lines_.Text();
  if (removed == text) return;
  RemoveExtent(removed, {0, 0});
  InsertTextAt(text, 0, false, false, 0, false);
  SelectionOff();
  SetCaret(0, 0);
  Modified = true;
  history_.RecordReplace(std::move(removed), std::string(text), before, EditState());
}

void TBMCustomMemo::Undo() {
  if (history_.UndoCount() < 1 || read_only_) return;
  Modified = true;
  const TBMEditState shown = EditState();  // what the screen shows now
  const TBMUndoBlock& b = *history_.TakeUndo();
  if (b.kind == ukReplace) {
    RemoveExtent(b.inserted, {0, 0});
    InsertTextAt(b.text, 0, false, false, 0, false);
  } else if (b.kind == ukDelete) {
    InsertTextAt(b.text, b.after.caretCol, false, false, b.after.caretLine, false);
  } else {
    RemoveExtent(b.text, {b.before.caretCol, b.before.caretLine});
  }
  RestoreEditState(b.before);
  RepaintStateRows(shown);
}

void TBMCustomMemo::Redo() {
  if (history_.RedoCount() < 1 || read_only_) return;
  Modified = true;
  const TBMEditState shown = EditState();
  const TBMUndoBlock& b = *history_.TakeRedo();
  if (b.kind == ukReplace) {
    RemoveExtent(b.text, {0, 0});
    InsertTextAt(b.inserted, 0, false, false, 0, false);
  } else if (b.kind == ukDelete) {
    RemoveExtent(b.text, {b.after.caretCol, b.after.caretLine});
  } else {
    InsertTextAt(b.text, b.before.caretCol, false, false, b.before.caretLine, false);
  }
  RestoreEditState(b.after);
  RepaintStateRows(shown);
}

// ---------------------------------------------------------------- clipboard

void TBMCustomMemo::CopyToClipboard() {
  if (sel_avail_) SetClipboardText(GetSelText());
}

void TBMCustomMemo::CutToClipboard() {
  if (!sel_avail_ || read_only_) return;
  SetClipboardText(RemoveSelection(true, true));
}

void TBMCustomMemo::PasteFromClipboard() {
  if (read_only_) return;
  const std::string text = ClipboardText();
  if (text.empty()) return;
  if (sel_avail_) DeleteSelection();
  InsertText(text, caret_.col, true, false, caret_.line);
}

// ---------------------------------------------------------------- view

void TBMCustomMemo::SetMetrics(int charWidth, int lineHeight, int clientWidth, int clientHeight,
                               int gutterWidth) {
  char_width_ = std::max(1, charWidth);
  line_height_ = std::max(1, lineHeight);
  client_width_ = std::max(0, clientWidth);
  client_height_ = std::max(0, clientHeight);
  gutter_width_ = std::max(0, gutterWidth);
  visible_lines_ = client_height_ / line_height_;
  visible_cols_ = std::max(0, (client_width_ - gutter_width_) / char_width_);
}

int TBMCustomMemo::MaxTopLine() const { return std::max(0, lines_.Count() - visible_lines_); }
int TBMCustomMemo::MaxLeftCol() const { return std::max(0, horz_range_ - visible_cols_ + 1); }

void TBMCustomMemo::SetTopLine(int value) {
  value = std::max(0, std::min(value, MaxTopLine()));
  if (value == top_line_) return;
  const int delta = value - top_line_;
  top_line_ = value;
  if (!lines_changing_) ViewScrolled(delta, 0);
}

void TBMCustomMemo::SetLeftCol(int value) {
  value = std::max(0, std::min(value, MaxLeftCol()));
  if (value == left_col_) return;
  const int delta = value - left_col_;
  left_col_ = value;
  if (!lines_changing_) ViewScrolled(0, delta);
}

int TBMCustomMemo::DisplayCol(int line, int col) const {
  if (line < 0 || line >= lines_.Count()) return col;
  return LogicalToDisplayCol(lines_[line], col, tab_width_);
}

void TBMCustomMemo::WidenHorzRangeToCaretLine() {
  if (caret_.line < 0 || caret_.line >= lines_.Count()) return;
  const int width = DisplayLength(lines_[caret_.line], tab_width_);
  if (width > horz_range_) {
    horz_range_ = width;
    ScrollBarsChanged();
  }
}

void TBMCustomMemo::ScrollCaretIntoView() {
  if (lines_changing_) return;
  WidenHorzRangeToCaretLine();
  if (visible_cols_ > 0) {
    const int dc = DisplayCol(caret_.line, caret_.col);
    if (dc > left_col_ + visible_cols_ - 1)
      SetLeftCol(dc - visible_cols_ + 1);
    else if (dc < left_col_)
      SetLeftCol(dc);
  }
  if (visible_lines_ > 0) {
    if (caret_.line < top_line_)
      SetTopLine(caret_.line - visible_lines_ / 2);
    else if (caret_.line > top_line_ + visible_lines_ - 1)
      SetTopLine(caret_.line - visible_lines_ + 1 + visible_lines_ / 2);
  }
}

// Showing new data keeps a selection the user made, and the caret at its
// end, so Shift with an arrow still extends that selection.
void TBMCustomMemo::ScrollToEnd() {
  SetTopLine(lines_.Count() - visible_lines_);
  if (!lines_.Empty() && !sel_avail_) SetCaret(caret_.col, lines_.Count() - 1);
}

// ---------------------------------------------------------------- keyboard

int TBMCustomMemo::KeepColumn(int fromLine, int toLine, int col) const {
  if (fromLine < 0 || fromLine >= lines_.Count() || toLine < 0 || toLine >= lines_.Count()) return col;
  const int d = LogicalToDisplayCol(lines_[fromLine], col, tab_width_);
  return DisplayToLogicalCol(lines_[toLine], d, tab_width_);
}

bool TBMCustomMemo::Navigate(int key, TBMShift shift) {
  if (lines_.Empty()) return false;
  const bool ctrl = shift & ssCtrl;
  const int count = lines_.Count();
  const int lastLine = count - 1;
  int col = caret_.col, line = std::min(caret_.line, lastLine);
  const std::string& text = lines_[line];
  const int len = static_cast<int>(text.size());
  switch (key) {
    case vkLeft:
      if (!ctrl) {
        if (col > 0)
          --col;
        else if (line > 0)
          col = LineLength(--line);
      } else if (col == 0) {
        if (line > 0) col = LineLength(--line);
      } else if (auto w = WordAt(text, col - 1)) {
        col = w->startCol;
      } else if (line > 0) {
        col = LineLength(--line);
      } else {
        col = 0;
      }
      break;
    case vkRight:
      if (!ctrl) {
        if (AllowCaretInWhiteSpace)
          ++col;
        else if (col < len)
          ++col;
        else if (line < lastLine)
          col = 0, ++line;
        else
          col = len;
      } else {
        int i = std::min(col, len);
        while (i < len && IsWordChar(static_cast<unsigned char>(text[static_cast<size_t>(i)]))) ++i;
        while (i < len && !IsWordChar(static_cast<unsigned char>(text[static_cast<size_t>(i)]))) ++i;
        col = i;
      }
      break;
    case vkUp:
    case vkDown:
      if (ctrl) {
        ScrollLines(key == vkUp ? -1 : 1);
        return false;
      }
      line = std::max(0, std::min(lastLine, line + (key == vkUp ? -1 : 1)));
      col = KeepColumn(caret_.line, line, col);
      break;
    case vkPageUp:
    case vkPageDown: {
      const int page = std::max(1, visible_lines_);
      const int target = line + (key == vkPageUp ? -page : page);
      SetTopLine(top_line_ + (key == vkPageUp ? -page : page));
      if (target < 0) {
        line = 0, col = 0;
      } else if (target > lastLine) {
        line = lastLine, col = LineLength(lastLine);
      } else {
        col = KeepColumn(line, target, col);
        line = target;
      }
      break;
    }
    case vkHome:
      col = 0;
      if (ctrl) line = 0;
      break;
    case vkEnd:
      if (ctrl) line = lastLine;
      col = LineLength(line);
      break;
    default:
      return false;
  }
  MoveCaret(col, line, true, shift);
  return true;
}

bool TBMCustomMemo::KeyDown(int key, TBMShift shift) {
  ResetDropListIdle();
  if (dragging_selection_) DragCursorChanged();
  if (shift == ssCtrl && IsLetterKey(key)) {
    bool edit = true;
    switch (key) {
      case 'A': SelectAll(); edit = false; break;
      case 'C': CopyToClipboard(); edit = false; break;
      case 'V': PasteFromClipboard(); break;
      case 'X': CutToClipboard(); break;
      case 'Y': Redo(); break;
      case 'Z': Undo(); break;
      default: edit = false; break;
    }
    // The caret shows where the edit left it at once, not at the next blink.
    if (edit && !read_only_ && !lines_changing_) {
      ScrollCaretIntoView();
      ShowCaretHold();
    }
    return false;
  }
  bool handled = false;
  switch (key) {
    case vkLeft: case vkRight: case vkUp: case vkDown:
    case vkPageUp: case vkPageDown: case vkHome: case vkEnd:
      handled = Navigate(key, shift);
      break;
    case vkInsert:
      if (shift & ssShift) {
        PasteFromClipboard();
        handled = true;
      }
      break;
    case vkDelete:
      KeyDeleteChar(shift);
      handled = true;
      break;
    case vkBack:
      if (!(shift & (ssCtrl | ssShift))) {
        KeyBackspace();
        handled = true;
      }
      break;
    case vkReturn:
      KeyEnter();
      handled = true;
      break;
    case vkEscape:
      if (dragging_selection_) CancelDrag();
      break;
    default:
      break;
  }
  if (handled && !lines_changing_) {
    ScrollCaretIntoView();
    ShowCaretHold();
  }
  return handled;
}

void TBMCustomMemo::KeyUp(int /*key*/, TBMShift /*shift*/) {
  if (dragging_selection_) DragCursorChanged();
}

void TBMCustomMemo::KeyDeleteChar(TBMShift shift) {
  if (read_only_) return;
  if (sel_avail_) {
    if (shift & ssShift)
      CutToClipboard();
    else
      DeleteSelection();
    return;
  }
  const int line = caret_.line;
  if (line < 0 || line >= lines_.Count()) return;
  const std::string& text = lines_[line];
  if (caret_.col >= static_cast<int>(text.size())) {
    if (line + 1 >= lines_.Count()) return;
    // The next line joins at the line end: the caret goes there first, so the
    // removal is recorded where its text began.
    const int len = static_cast<int>(text.size());
    if (caret_.col > len) SetCaret(len, line);
    TakeStateBefore();
    RemoveRange({len, line}, {0, line + 1});
    Record(ukDelete, std::string(kCrLf));
    InvalidateAll();
  } else {
    TakeStateBefore();
    const std::string removed(1, text[static_cast<size_t>(caret_.col)]);
    RemoveRange(caret_, {caret_.col + 1, line});
    Record(ukDelete, removed);
  }
}

void TBMCustomMemo::KeyBackspace() {
  if (read_only_ || lines_.Empty()) return;
  // A selection goes wherever the caret stands, also at the start of the text.
  if (sel_avail_) {
    DeleteSelection();
    return;
  }
  if (caret_.col == 0 && caret_.line == 0) return;
  const int line = std::min(caret_.line, lines_.Count() - 1);
  const int len = LineLength(line);
  if (caret_.col > len) SetCaret(len, line);
  TakeStateBefore();
  const int col = caret_.col;
  if (col >= 1) {
    const std::string removed(1, lines_[line][static_cast<size_t>(col - 1)]);
    SetCaret(col - 1, line);
    RemoveRange({col - 1, line}, {col, line});
    Record(ukDelete, removed);
  } else if (line > 0) {
    const int prevLength = LineLength(line - 1);
    {
      TBMUpdateGuard update(lines_);
      RemoveRange({prevLength, line - 1}, {0, line});
      SetCaret(prevLength, line - 1);
    }
    Record(ukDelete, std::string(kCrLf));
    InvalidateAll();
  }
}

void TBMCustomMemo::KeyEnter() {
  if (read_only_) return;
  if (sel_avail_) DeleteSelection();
  if (lines_.Empty()) lines_.Add(std::string());
  const int line = caret_.line;
  if (line < 0 || line >= lines_.Count()) return;
  TakeStateBefore();
  {
    TBMUpdateGuard update(lines_);
    const std::string& text = lines_[line];
    const size_t col = std::min<size_t>(static_cast<size_t>(caret_.col), text.size());
    std::string rest = text.substr(col);
    std::string head = text.substr(0, col);
    lines_.Put(line, std::move(head));
    lines_.Insert(line + 1, std::move(rest));
    SetCaret(0, line + 1);
  }
  Record(ukTyping, std::string(kCrLf));
  ScrollCaretIntoView();
  InvalidateAll();
}

void TBMCustomMemo::KeyPress(char c) {
  if (read_only_) return;
  const unsigned char u = static_cast<unsigned char>(c);
  if (u < 32 && c != '\t') return;  // CR (Enter acts on key down), Escape, other controls
  if (sel_avail_) DeleteSelection();
  if (lines_.Empty()) lines_.Add(std::string());
  const int line = std::max(0, std::min(caret_.line, lines_.Count() - 1));
  std::string text = lines_[line];
  TakeStateBefore();
  int col = caret_.col;
  std::string typed(1, c);
  const int length = static_cast<int>(text.size());
  if (col > length) {
    if (AllowCaretInWhiteSpace) {
      // Beyond the end the typed text is led by blanks up to the caret.
      MoveStateBeforeCaret(length);
      typed.insert(0, static_cast<size_t>(PadTo(text, col)), ' ');
    } else {
      col = length;
    }
  }
  text.insert(static_cast<size_t>(col), 1, c);
  lines_.Put(line, std::move(text));
  SetCaret(col + 1, line);
  Record(ukTyping, std::move(typed));
  ScrollCaretIntoView();
  ShowCaretHold();
}

void TBMCustomMemo::CharInput(char c) {
  if (OnKeyPress && !OnKeyPress(c)) return;
  KeyPress(c);
}

bool TBMCustomMemo::MouseWheel(int deltaX, int deltaY, TBMShift shift) {
  if (DropListVisible()) HideDropList();  // as on every scroll
  ResetDropListIdle();
  if (lines_.Empty()) return false;
  if (shift & ssShift) {
    // One line per wheel event, keeping the column.
    if (deltaY == 0) return true;
    const int line = std::max(0, std::min(lines_.Count() - 1, caret_.line + (deltaY > 0 ? -1 : 1)));
    MoveCaret(KeepColumn(caret_.line, line, caret_.col), line, true, ssNone);
    return true;
  }
  if (shift & ssCtrl) {  // the wheel scrolls sideways
    deltaX += deltaY;
    deltaY = 0;
  }
  // Positive deltas point away from the user and to the left: scroll back.
  const int cols = WheelSteps(wheel_rest_x_, deltaX);
  const int lines = WheelSteps(wheel_rest_y_, deltaY);
  if (cols != 0) ScrollCols(-cols);
  if (lines != 0) ScrollLines(-lines);
  return true;
}

// ---------------------------------------------------------------- mouse

TBMPos TBMCustomMemo::PointToPos(int x, int y, bool captured) const {
  y = std::max(0, std::min(y, client_height_));
  if (gutter_selecting_ || (gutter_width_ > 0 && x <= gutter_width_ && !captured)) x = gutter_width_;
  const long long rawLine = (static_cast<long long>(y) + static_cast<long long>(top_line_) * line_height_) / line_height_;
  const int line = static_cast<int>(std::min<long long>(rawLine, lines_.Count()));
  const long long px = static_cast<long long>(x) + static_cast<long long>(left_col_) * char_width_ - gutter_width_;
  const int displayCol = px < 0 ? 0 : static_cast<int>(std::min<long long>(px / char_width_, INT_MAX));
  if (line >= lines_.Count()) return {displayCol, line};
  return {DisplayToLogicalCol(lines_[line], displayCol, tab_width_), line};
}

// What every press does first: focus, no drop list, a fresh button state.
void TBMCustomMemo::BeginPress(bool ignoreRest) {
  if (!HasFocus()) TakeFocus();
  if (DropListVisible()) HideDropList();
  ResetDropListIdle();
  button_down_ = true;
  ignore_mouse_ = ignoreRest;
  dragging_selection_ = false;
  gutter_selecting_ = false;
  autoscroll_line_step_ = autoscroll_col_step_ = 0;
}

void TBMCustomMemo::MouseDown(int x, int y, TBMShift shift) {
  if (skip_next_press_) {
    skip_next_press_ = false;
    return;
  }
  BeginPress(false);
  press_pos_ = PointToPos(x, y, false);
  gutter_selecting_ = gutter_width_ > 0 && x <= gutter_width_;
  press_in_gutter_ = gutter_selecting_;
  dragging_selection_ = !read_only_ && !gutter_selecting_ && AllowDragSelection && sel_avail_ &&
                        sel_start_ <= press_pos_ && press_pos_ <= sel_end_;
  if (dragging_selection_) {
    DragCursorChanged();
    return;
  }
  MoveCaret(press_pos_.col, press_pos_.line, true, shift);
}

void TBMCustomMemo::UpdateAutoScroll(int x, int y) {
  autoscroll_line_step_ = AutoScrollStep(y, client_height_);
  autoscroll_col_step_ = AutoScrollStep(x, client_width_);
}

void TBMCustomMemo::MouseMove(int x, int y, TBMShift shift) {
  if (ignore_mouse_ || !button_down_) return;
  UpdateAutoScroll(x, y);
  if (dragging_selection_) {
    DragCursorChanged();
    return;
  }
  const TBMPos p = PointToPos(x, y, true);
  MoveCaret(p.col, p.line, autoscroll_line_step_ == 0 && autoscroll_col_step_ == 0, shift | ssShift);
}

void TBMCustomMemo::AutoScrollTick(int x, int y, TBMShift shift) {
  if (!button_down_) return;
  SetTopLine(top_line_ + autoscroll_line_step_);
  SetLeftCol(left_col_ + autoscroll_col_step_);
  MouseMove(x, y, shift);
}

void TBMCustomMemo::MouseUp(int x, int y, TBMShift shift) {
  if (!button_down_) return;
  button_down_ = false;
  autoscroll_line_step_ = autoscroll_col_step_ = 0;
  skip_next_press_ = false;
  if (ignore_mouse_) return;
  TBMPos p = PointToPos(x, y, true);
  if (gutter_selecting_ && p.line == press_pos_.line) p = {0, p.line + 1};
  gutter_selecting_ = false;
  if (dragging_selection_) {
    CancelDrag();
    const bool inside = sel_avail_ && sel_start_ <= p && p <= sel_end_;
    if (!inside) {
      DropSelection(p, shift & ssCtrl);
      InvalidateAll();
      return;
    }
    // A click inside the selection without a drag places the caret there.
    MoveCaret(p.col, p.line, true, TBMShift(shift & ~ssShift));
    return;
  }
  MoveCaret(p.col, p.line, true, shift | ssShift);
}

void TBMCustomMemo::CancelDrag() {
  dragging_selection_ = false;
  ignore_mouse_ = true;
  DragCursorChanged();
}

void TBMCustomMemo::MouseCaptureLost() {
  if (!button_down_) return;
  button_down_ = false;
  gutter_selecting_ = false;
  autoscroll_line_step_ = autoscroll_col_step_ = 0;
  if (dragging_selection_) CancelDrag();
}

void TBMCustomMemo::DoubleClick() {
  // In the gutter the click selected a whole line; the caret then stands on
  // the next line, whose word must not be taken.
  if (press_in_gutter_) return;
  const int line = caret_.line;
  if (line < 0 || line >= lines_.Count()) return;
  const std::string& text = lines_[line];
  auto word = WordAt(text, caret_.col);
  if (!word) {
    const int n = static_cast<int>(text.size());
    int i = std::max(0, caret_.col - 1);
    while (i < n && IsWordChar(static_cast<unsigned char>(text[static_cast<size_t>(i)]))) ++i;
    while (i < n && !IsWordChar(static_cast<unsigned char>(text[static_cast<size_t>(i)]))) ++i;
    if (i < n) word = WordAt(text, i);
  }
  if (!word) return;
  SelectRange({word->startCol, line}, {word->startCol + static_cast<int>(word->text.size()), line});
  ignore_mouse_ = true;
  skip_next_press_ = true;
}

// A third click selects the line under the mouse with its line break (the
// last line to its end), like a click in the gutter; in the gutter it is
// that click. The rest of the click is ignored.
void TBMCustomMemo::TripleClick(int x, int y, TBMShift shift) {
  if (gutter_width_ > 0 && x <= gutter_width_) {
    MouseDown(x, y, shift);
    return;
  }
  skip_next_press_ = false;
  BeginPress(true);
  if (lines_.Empty()) return;
  const int line = std::min(PointToPos(x, y, false).line, lines_.Count() - 1);
  press_pos_ = {0, line};
  const TBMPos end = line + 1 < lines_.Count() ? TBMPos{0, line + 1} : TBMPos{LineLength(line), line};
  SelectRange({0, line}, end);
  ScrollCaretIntoView();
}

void TBMCustomMemo::DropSelection(TBMPos target, bool copy) {
  const std::string text = GetSelText();
  if (text.empty()) {
    SelectionOff();
    return;
  }
  if (!copy) {
    const TBMPos s = sel_start_;
    TBMPos e = sel_end_;
    if (e.line > lines_.Count() - 1) e = {LineLength(lines_.Count() - 1), lines_.Count() - 1};
    e.col = std::min(e.col, LineLength(e.line));
    if (target.line == e.line && target.col >= e.col) {
      if (s.line == e.line)
        target.col -= e.col - s.col;
      else
        target = {target.col - e.col + s.col, s.line};
    } else if (target.line > e.line) {
      target.line -= e.line - s.line;
    }
    DeleteSelection();
  }
  InsertText(text, target.col, true, true, target.line);
}

// ---------------------------------------------------------------- drop list

TBMDropListFields SplitDropListItem(const std::string& item) {
  TBMDropListFields f;
  const size_t first = item.find('|');
  if (first == std::string::npos) {
    f.shown = f.second = f.inserted = item;
    return f;
  }
  f.hasSeparator = true;
  f.shown = item.substr(0, first);
  const size_t second = item.find('|', first + 1);
  if (second == std::string::npos) {
    f.second = f.inserted = item.substr(first + 1);
  } else {
    f.second = item.substr(first + 1, second - first - 1);
    f.inserted = item.substr(second + 1);
  }
  return f;
}

void TBMCustomMemo::SetDropListItems(std::vector<std::string> items) {
  std::sort(items.begin(), items.end());
  drop_items_ = std::move(items);
}

void TBMCustomMemo::SetDropListTimeDelay(int value) {
  drop_time_delay_ = std::max(0, std::min(value, kMaxDropListTimeDelay));
}

void TBMCustomMemo::DropListIdleTick() {
  if (drop_time_delay_ == 0 || DropListVisible()) return;
  drop_idle_ += kDropListIdleStep;
  if (drop_idle_ >= drop_time_delay_ * kDropListIdleUnitsPerDelay) {
    drop_idle_ = 0;
    DropDown();
  }
}

void TBMCustomMemo::DropDown() {
  if (OnDropListDown) OnDropListDown();
  if (DropListVisible() || sel_avail_ || drop_items_.empty()) return;
  std::sort(drop_items_.begin(), drop_items_.end());  // a handler may have added items
  int top = (caret_.line - top_line_ + 1) * line_height_;
  int left = (DisplayCol(caret_.line, caret_.col) - left_col_) * char_width_;
  const int height = line_height_ * (DropListCharHeight + 1);
  const int width = char_width_ * (DropListCharWidth + 1);
  left += gutter_width_;
  if (top + height > client_height_) top = top - line_height_ - height;
  if (left + width > client_width_) left -= width;
  if (caret_.col > LineLength(caret_.line)) return;
  ShowDropList(left, top, width, height);
}

void TBMCustomMemo::ChooseDropListItem(const std::string& item) {
  for (char c : SplitDropListItem(item).inserted) CharInput(c);
}

}  // namespace kalvex
