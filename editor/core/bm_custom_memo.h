#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "editor/core/bm_edit_state.h"
#include "editor/core/bm_undo_history.h"
#include "editor/core/bm_strings.h"

namespace kalvex {

// Modifier keys held with a key or mouse event.
enum TBMShift : unsigned { ssNone = 0, ssShift = 1, ssAlt = 2, ssCtrl = 4 };
inline TBMShift operator|(TBMShift a, TBMShift b) { return TBMShift(unsigned(a) | unsigned(b)); }

// Keys the editor acts on. Letters are their upper-case ASCII codes ('A'..'Z').
enum TBMKey : int {
  vkOther = 0,
  vkLeft = 0x1000, vkRight, vkUp, vkDown, vkPageUp, vkPageDown, vkHome, vkEnd,
  vkInsert, vkDelete, vkBack, vkReturn, vkEscape, vkTab, vkControl,
};

// The editor control's logic without a window: the line store, caret and
// selection, editing primitives, undo/redo, keyboard commands, scroll
// position, mouse selection and drag/drop. A window (TZelkMemo) derives from
// it, feeds it pixel metrics and events, and paints what the hooks ask for.
class TBMCustomMemo {
public:
  static constexpr int kDefaultUndoSize = 20;
  static constexpr int kDefaultTabWidth = 8;

  TBMCustomMemo();
  virtual ~TBMCustomMemo();
  TBMCustomMemo(const TBMCustomMemo&) = delete;
  TBMCustomMemo& operator=(const TBMCustomMemo&) = delete;

  // ---- Text ----
  TBMStrings& Lines() { return lines_; }
  const TBMStrings& Lines() const { return lines_; }
  void Clear() { lines_.Clear(); }
  bool LinesChanging() const { return lines_changing_; }
  // Set by every edit of the user (all that Undo can take back), and by
  // Undo and Redo; cleared when the program gives the box a whole new
  // text. The owner clears it when it saved the text.
  bool Modified = false;

  // Fired after every announced change of the text, also by program code.
  std::function<void()> OnChange;
  // Fired on every caret placement, also when the caret stays where it was.
  std::function<void()> OnCaretMove;
  // Fired before a character is typed; it may change the character, or drop
  // it by returning false.
  std::function<bool(char& c)> OnKeyPress;

  // ---- Options ----
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);
  bool AllowCaretInWhiteSpace = false;
  bool WantTabs = true;
  bool WantReturns = true;
  bool AllowDragSelection = true;
  int TabWidth() const { return tab_width_; }
  void SetTabWidth(int value);

  // ---- Caret and selection ----
  int CaretCol() const { return caret_.col; }
  int CaretLine() const { return caret_.line; }
  TBMPos Caret() const { return caret_; }
  bool SelAvail() const { return sel_avail_; }
  TBMPos SelStart() const { return sel_start_; }
  TBMPos SelEnd() const { return sel_end_; }
  TBMPos Anchor() const { return anchor_; }
  TBMEditState EditState() const;
  void RestoreEditState(const TBMEditState& state);

  void SetCaret(int col, int line);
  // Clamps both ends; equal ends put the caret there with no selection.
  void SetSelection(TBMPos a, TBMPos b);
  // SetSelection, then caret to the selection end and anchor to its start.
  void SelectRange(TBMPos a, TBMPos b);
  void MoveCaret(int col, int line, bool scrollIntoView, TBMShift shift);
  void SelectionOff();
  void SelectAll();

  // ---- Editing primitives ----
  void InsertText(std::string_view text, int col, bool record, bool select, int line);
  void DeleteSelection();               // removes and records ukDelete
  std::string GetSelText() const;
  // Removes the selection, as the window's Delete command does. It is
  // recorded like any removal, so Undo brings the text back.
  void ClearSelection();
  void AppendText(std::string_view text);
  // Replaces the whole text as one step that Undo takes back (a command's
  // rewrite of the user's text, such as fixed checksums).
  void ReplaceAllText(std::string_view text);

  // ---- Undo ----
  void Undo();
  void Redo();
  void ClearUndo() { history_.Clear(); }
  int UndoSize() const { return history_.Size(); }
  void SetUndoSize(int value) { history_.SetSize(value); }
  int UndoCount() const { return history_.UndoCount(); }
  int RedoCount() const { return history_.RedoCount(); }
  // 0 = the block Undo takes next.
  const TBMUndoBlock* UndoBlock(int stepsBack) const { return history_.Block(stepsBack); }

  // ---- Clipboard (the window supplies the real one) ----
  void CopyToClipboard();
  void CutToClipboard();
  void PasteFromClipboard();

  // ---- Keyboard ----
  // Returns true when the key was handled (the caret is then scrolled into
  // view and shown).
  bool KeyDown(int key, TBMShift shift);
  void KeyUp(int key, TBMShift shift);
  // Character input after key down; tabs and bytes of 32 or more are typed.
  void KeyPress(char c);
  // Character input as the keyboard, an input method or the drop list gives
  // it: OnKeyPress first, then KeyPress.
  void CharInput(char c);
  // Wheel deltas in eighths of a degree (120 per notch), vertical and
  // sideways; what is left below one line is kept for the next event, so
  // touchpads and fine wheels scroll too. True when handled.
  bool MouseWheel(int deltaX, int deltaY, TBMShift shift);

  // ---- View: cell metrics and scroll position ----
  // Pixel metrics from the window; visible lines and columns follow.
  void SetMetrics(int charWidth, int lineHeight, int clientWidth, int clientHeight, int gutterWidth);
  int CharWidth() const { return char_width_; }
  int LineHeight() const { return line_height_; }
  int GutterWidth() const { return gutter_width_; }  // 0 while hidden
  int VisibleLines() const { return visible_lines_; }
  int VisibleCols() const { return visible_cols_; }
  int TopLine() const { return top_line_; }
  int LeftCol() const { return left_col_; }
  void SetTopLine(int value);
  void SetLeftCol(int value);
  int MaxTopLine() const;
  int MaxLeftCol() const;
  void ScrollCaretIntoView();
  void ScrollToEnd();
  void WidenHorzRangeToCaretLine();
  int DisplayCol(int line, int col) const;  // logical to display column
  // Vertical and horizontal scroll commands (scroll bar and wheel).
  void ScrollLines(int delta) { SetTopLine(top_line_ + delta); }
  void ScrollCols(int delta) { SetLeftCol(left_col_ + delta); }

  // ---- Mouse (pixel coordinates of the editor's client area, gutter included) ----
  TBMPos PointToPos(int x, int y, bool captured) const;
  void MouseDown(int x, int y, TBMShift shift);
  void MouseMove(int x, int y, TBMShift shift);  // with the left button held
  void MouseUp(int x, int y, TBMShift shift);
  void DoubleClick();
  // A press that follows a double click closely: selects the whole line.
  void TripleClick(int x, int y, TBMShift shift);
  void AutoScrollTick(int x, int y, TBMShift shift);
  void CancelDrag();
  // The mouse is no longer ours (focus lost mid-drag, no release coming):
  // the press ends without a drop.
  void MouseCaptureLost();
  bool DraggingSelection() const { return dragging_selection_; }
  int AutoScrollLineStep() const { return autoscroll_line_step_; }
  int AutoScrollColStep() const { return autoscroll_col_step_; }
  // Moves or copies the selection to a position, as a drop does.
  void DropSelection(TBMPos target, bool copy);

  // ---- Drop list ----
  std::vector<std::string>& DropListItems() { return drop_items_; }
  void SetDropListItems(std::vector<std::string> items);
  int DropListTimeDelay() const { return drop_time_delay_; }
  void SetDropListTimeDelay(int value);
  int DropListCharWidth = 20;
  int DropListCharHeight = 4;
  int DropListColumnCharWidth = 10;
  std::function<void()> OnDropListDown;
  // Blink timer tick: counts idle time and opens the list when it is due.
  void DropListIdleTick();
  void ResetDropListIdle() { drop_idle_ = 0; }
  // Tries to open the list (fires OnDropListDown first).
  void DropDown();
  // Types the inserted part of an item at the caret, as character input.
  void ChooseDropListItem(const std::string& item);

protected:
  // ---- Hooks for the window (no-ops here) ----
  virtual void InvalidateAll() {}
  virtual void RepaintLines(int /*first*/, int /*last*/) {}
  // The view moved by the given number of lines and columns.
  virtual void ViewScrolled(int /*dLines*/, int /*dCols*/) {}
  // Scroll bar ranges or positions need an update.
  virtual void ScrollBarsChanged() {}
  // Draw the caret now and skip the next blink.
  virtual void ShowCaretHold() {}
  // The caret moved (also inside an update of the store).
  virtual void CaretMoved() {}
  virtual void CaretReadOnlyChanged() {}
  // The store ended an update: refresh cursor, metrics and scroll bars.
  virtual void StoreChanged() {}
  virtual std::string ClipboardText() { return clipboard_; }
  virtual void SetClipboardText(const std::string& text) { clipboard_ = text; }
  virtual void DragCursorChanged() {}
  // The drop list wants to open at this pixel rectangle of the client area.
  virtual bool ShowDropList(int /*left*/, int /*top*/, int /*width*/, int /*height*/) { return false; }
  virtual bool DropListVisible() const { return false; }
  virtual void HideDropList() {}
  virtual bool HasFocus() const { return true; }
  virtual void TakeFocus() {}

  bool scroll_to_end_pending_ = false;

private:
  void OnLinesChanged(int first, int last);
  void OnMaxLengthChanged();
  void TakeStateBefore();
  void MoveStateBeforeCaret(int col);
  void InsertTextAt(std::string_view text, int col, bool record, bool select, int line, bool pad);
  void RemoveRange(TBMPos s, TBMPos e);
  void Record(TBMUndoKind kind, std::string text);
  void RemoveExtent(const std::string& text, TBMPos start);
  bool SelectionBounds(TBMPos& start, TBMPos& end) const;
  std::string TextBetween(TBMPos start, TBMPos end) const;
  std::string RemoveSelection(bool record, bool returnText);
  void ClampPos(TBMPos& p) const;
  void KeepCaretAtSelectionEnd(TBMPos& caret);
  void BeginPress(bool ignoreRest);
  void RepaintVisible(int first, int last);
  void RepaintStateRows(const TBMEditState& state);
  int LineLength(int line) const;
  // Keyboard helpers.
  bool Navigate(int key, TBMShift shift);
  void KeyDeleteChar(TBMShift shift);
  void KeyBackspace();
  void KeyEnter();
  int KeepColumn(int fromLine, int toLine, int col) const;
  void UpdateAutoScroll(int x, int y);

  TBMStrings lines_;
  bool lines_changing_ = false;
  bool read_only_ = false;
  int tab_width_ = kDefaultTabWidth;

  TBMPos caret_;
  bool sel_avail_ = false;
  TBMPos sel_start_, sel_end_;
  TBMPos anchor_{-1, -1};

  TBMUndoHistory history_{kDefaultUndoSize};
  TBMEditState state_before_;

  int char_width_ = 8, line_height_ = 16;
  int client_width_ = 0, client_height_ = 0, gutter_width_ = 0;
  int visible_lines_ = 0, visible_cols_ = 0;
  int top_line_ = 0, left_col_ = 0;
  int horz_range_ = 0;

  // Mouse.
  bool ignore_mouse_ = false;
  bool skip_next_press_ = false;
  bool button_down_ = false;
  TBMPos press_pos_;
  bool gutter_selecting_ = false;
  bool press_in_gutter_ = false;  // the last press, until the next one
  bool dragging_selection_ = false;
  int autoscroll_line_step_ = 0, autoscroll_col_step_ = 0;
  int wheel_rest_x_ = 0, wheel_rest_y_ = 0;

  // Drop list.
  std::vector<std::string> drop_items_;
  int drop_time_delay_ = 3;
  int drop_idle_ = 0;

  std::string clipboard_;
};

// The three fields of a drop-list item "shown|second|inserted".
struct TBMDropListFields {
  std::string shown, second, inserted;
  bool hasSeparator = false;
};
TBMDropListFields SplitDropListItem(const std::string& item);

}  // namespace kalvex
