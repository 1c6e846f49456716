#include "editor/core/bm_custom_memo.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <vector>

namespace kalvex {

// Readable failure output.
void PrintTo(const TBMPos& p, std::ostream* os) { *os << "(" << p.col << ", " << p.line << ")"; }
void PrintTo(const TBMEditState& s, std::ostream* os) {
  *os << "{sel " << s.selAvail << " anchor " << s.anchorCol << "," << s.anchorLine << " start "
      << s.selStartCol << "," << s.selStartLine << " end " << s.selEndCol << "," << s.selEndLine
      << " caret " << s.caretCol << "," << s.caretLine << "}";
}

namespace {

// A memo with a 10x20 character window (8x16 pixel cells) and a given text.
struct TMemoFixture : testing::Test {
  TBMCustomMemo m;
  void SetUp() override { m.SetMetrics(8, 16, 8 * 20, 16 * 10, 0); }
  void Load(std::string_view text) { m.Lines().SetText(text); }
  void Type(std::string_view s) {
    for (char c : s) {
      if (c == '\n')
        m.KeyDown(vkReturn, ssNone);
      else
        m.KeyPress(c);
    }
  }
  std::string Text() const { return m.Lines().Text(); }
  TBMPos Caret() const { return m.Caret(); }
};

using Memo = TMemoFixture;

TEST_F(Memo, WholeTextAssignmentResetsCaretSelectionAndHistory) {
  Load("abc\r\ndef");
  m.SetCaret(2, 1);
  Type("x");
  m.SelectRange({0, 0}, {1, 0});
  ASSERT_EQ(m.UndoCount(), 1);
  Load("new");
  EXPECT_EQ(Caret(), (TBMPos{0, 0}));
  EXPECT_FALSE(m.SelAvail());
  EXPECT_EQ(m.UndoCount(), 0);
  // Single-line changes by program code keep the history.
  Type("y");
  m.Lines().Add("more");
  m.Lines().Put(1, "MORE");
  m.Lines().Delete(1);
  EXPECT_EQ(m.UndoCount(), 1);
}

TEST_F(Memo, OnChangeFiresForEveryAnnouncedChange) {
  int changes = 0;
  m.OnChange = [&] { ++changes; };
  Load("a\r\nb");  // whole text at the first line, line 0 at the second, whole text at the end
  EXPECT_EQ(changes, 3);
  changes = 0;
  m.Lines().Put(0, "x");
  Type("y");
  EXPECT_EQ(changes, 2);
}

TEST_F(Memo, TypingMergesUntilABlankFollowsAWord) {
  Type("ab cd");
  ASSERT_EQ(m.UndoCount(), 2);
  EXPECT_EQ(m.UndoBlock(0)->text, " cd");
  EXPECT_EQ(m.UndoBlock(1)->text, "ab");
  m.Undo();
  EXPECT_EQ(Text(), "ab");
  EXPECT_EQ(Caret(), (TBMPos{2, 0}));
  m.Undo();
  EXPECT_EQ(Text(), "");
  m.Redo();
  m.Redo();
  EXPECT_EQ(Text(), "ab cd");
  EXPECT_EQ(Caret(), (TBMPos{5, 0}));
}

TEST_F(Memo, LineBreakStandsAloneAndCaretMoveStartsANewBlock) {
  Type("ab\ncd");
  ASSERT_EQ(m.UndoCount(), 3);
  EXPECT_EQ(m.UndoBlock(0)->text, "cd");
  EXPECT_EQ(m.UndoBlock(1)->text, "\r\n");
  m.Undo();
  m.Undo();
  EXPECT_EQ(Text(), "ab");
  m.SetCaret(0, 0);
  Type("x");
  m.SetCaret(3, 0);
  Type("y");
  EXPECT_EQ(Text(), "xaby");
  EXPECT_EQ(m.UndoCount(), 3);  // "ab", "x", "y"
  EXPECT_EQ(m.RedoCount(), 0);
}

TEST_F(Memo, HistoryKeepsUndoSizeBlocks) {
  for (int i = 0; i < 25; ++i) {
    m.SetCaret(0, 0);  // a caret move between characters starts a new block
    Type("x");
    m.SetCaret(0, 0);
  }
  EXPECT_EQ(m.UndoCount(), 20);
  for (int i = 0; i < 21; ++i) m.Undo();
  EXPECT_EQ(Text(), std::string(5, 'x'));
  for (int i = 0; i < 21; ++i) m.Redo();
  EXPECT_EQ(Text(), std::string(25, 'x'));
  m.SetUndoSize(3);
  EXPECT_EQ(m.UndoCount(), 0);
  m.SetUndoSize(0);  // no slots: edits record nothing
  m.SetCaret(0, 0);
  Type("z");
  m.Undo();
  EXPECT_EQ(Text(), "z" + std::string(25, 'x'));
}

TEST_F(Memo, PasteOfMultiLineTextUndoesAndRedoesWithItsStates) {
  Load("A\r\nB\r\nC");
  m.SelectAll();
  m.CopyToClipboard();
  Load("one\r\ntwo");
  m.MoveCaret(1, 1, true, ssNone);
  const TBMEditState beforePaste = m.EditState();
  m.PasteFromClipboard();
  EXPECT_EQ(m.Lines().Lines(), (std::vector<std::string>{"one", "tA", "B", "Cwo"}));
  EXPECT_EQ(Caret(), (TBMPos{1, 3}));
  const TBMEditState afterPaste = m.EditState();
  m.Undo();
  EXPECT_EQ(Text(), "one\r\ntwo");
  EXPECT_EQ(m.EditState(), beforePaste);
  m.Redo();
  EXPECT_EQ(m.Lines().Lines(), (std::vector<std::string>{"one", "tA", "B", "Cwo"}));
  EXPECT_EQ(m.EditState(), afterPaste);
}

// A command's rewrite of the whole text is one step: Undo brings the typed
// text back whole, Redo the rewrite, and the box counts as edited.
TEST_F(Memo, ReplacingTheWholeTextIsOneUndoStep) {
  Load("F0 01\r\nF7");
  m.SetCaret(2, 1);
  Type(" 90 3C 7F");
  const std::string typed = Text();
  const int steps = m.UndoCount();
  m.Modified = false;
  m.ReplaceAllText("F0 41 10\r\n42 12\r\nF7");
  EXPECT_EQ(Text(), "F0 41 10\r\n42 12\r\nF7");
  EXPECT_EQ(m.UndoCount(), steps + 1);
  EXPECT_TRUE(m.Modified);
  m.Undo();
  EXPECT_EQ(Text(), typed);
  m.Redo();
  EXPECT_EQ(Text(), "F0 41 10\r\n42 12\r\nF7");
  while (m.UndoCount() > 0) m.Undo();  // then the typing before it
  EXPECT_EQ(Text(), "F0 01\r\nF7");
}

TEST_F(Memo, PasteOverASelectionUndoesInTwoSteps) {
  Load("xy");
  m.SelectAll();
  m.CopyToClipboard();
  Load("abc");
  m.SelectRange({1, 0}, {2, 0});
  m.PasteFromClipboard();
  EXPECT_EQ(Text(), "axyc");
  m.Undo();
  EXPECT_EQ(Text(), "ac");
  m.Undo();
  EXPECT_EQ(Text(), "abc");
  EXPECT_EQ(m.GetSelText(), "b");
}

TEST_F(Memo, PasteSplitsAtEveryBreakKindAndUndoRemovesExactlyIt) {
  const struct {
    std::string paste;
    std::vector<std::string> lines;
  } cases[] = {
      {"1\r\n2", {"x1", "2y"}},
      {"1\r2", {"x1", "2y"}},
      {"1\n2", {"x1", "2y"}},
      {"1\n2\r\n3", {"x1", "2", "3y"}},  // mixed breaks: each one splits
      {"1\r\n", {"x1", "y"}},
  };
  for (const auto& c : cases) {
    Load("xy\r\nkeep");
    m.SetCaret(1, 0);
    m.InsertText(c.paste, 1, true, false, 0);
    EXPECT_EQ(m.Lines().Lines(), [&] {
      auto v = c.lines;
      v.push_back("keep");
      return v;
    }()) << testing::PrintToString(c.paste);
    m.Undo();
    EXPECT_EQ(Text(), "xy\r\nkeep") << testing::PrintToString(c.paste);
  }
}

TEST_F(Memo, TypingOverASelectionMakesTwoBlocks) {
  Load("hello");
  m.SelectRange({1, 0}, {4, 0});
  Type("a");
  EXPECT_EQ(Text(), "hao");
  ASSERT_EQ(m.UndoCount(), 2);
  m.Undo();
  EXPECT_EQ(Text(), "ho");
  m.Undo();
  EXPECT_EQ(Text(), "hello");
  EXPECT_TRUE(m.SelAvail());
  EXPECT_EQ(m.SelStart(), (TBMPos{1, 0}));
  EXPECT_EQ(m.SelEnd(), (TBMPos{4, 0}));
}

TEST_F(Memo, DeleteAndBackspaceJoinLinesAndUndoSplitsThemAgain) {
  Load("ab\r\ncd");
  m.SetCaret(2, 0);
  m.KeyDown(vkDelete, ssNone);
  EXPECT_EQ(Text(), "abcd");
  m.KeyDown(vkDelete, ssNone);
  EXPECT_EQ(Text(), "abd");
  m.Undo();
  m.Undo();
  EXPECT_EQ(Text(), "ab\r\ncd");
  m.SetCaret(0, 1);
  m.KeyDown(vkBack, ssNone);
  EXPECT_EQ(Text(), "abcd");
  EXPECT_EQ(Caret(), (TBMPos{2, 0}));
  m.KeyDown(vkBack, ssNone);
  EXPECT_EQ(Text(), "acd");
  EXPECT_EQ(Caret(), (TBMPos{1, 0}));
  m.Undo();
  m.Undo();
  EXPECT_EQ(Text(), "ab\r\ncd");
  EXPECT_EQ(Caret(), (TBMPos{0, 1}));
  // Nothing to do at the ends of the text.
  m.SetCaret(0, 0);
  m.KeyDown(vkBack, ssNone);
  m.SetCaret(2, 1);
  m.KeyDown(vkDelete, ssNone);
  EXPECT_EQ(Text(), "ab\r\ncd");
}

TEST_F(Memo, AChangeThatRecordsNothingKeepsRedoIntact) {
  Load("ab");
  m.SetCaret(2, 0);
  Type("c");
  m.Undo();
  m.SetCaret(2, 0);
  m.KeyDown(vkDelete, ssNone);  // at the end of the text: nothing happens
  m.Redo();
  EXPECT_EQ(Text(), "abc");
}

TEST_F(Memo, EnterSplitsTheLineWithoutIndentation) {
  Load("  abcd");
  m.SetCaret(4, 0);
  m.KeyDown(vkReturn, ssNone);
  EXPECT_EQ(m.Lines().Lines(), (std::vector<std::string>{"  ab", "cd"}));
  EXPECT_EQ(Caret(), (TBMPos{0, 1}));
}

TEST_F(Memo, AppendTextJoinsTheLastLineAndEmptiesTheHistory) {
  Load("F0 01");
  Type("x");
  m.AppendText(" 02 F7\r\nF0 03");
  EXPECT_EQ(m.Lines().Lines(), (std::vector<std::string>{"xF0 01 02 F7", "F0 03"}));
  EXPECT_EQ(m.UndoCount(), 0);
  m.Lines().Clear();
  m.AppendText("a");
  EXPECT_EQ(Text(), "a");
}

TEST_F(Memo, NavigationKeys) {
  Load("ab\r\n\tx\r\n12345678x");
  const struct {
    TBMPos from;
    int key;
    TBMShift shift;
    TBMPos to;
  } cases[] = {
      {{0, 0}, vkLeft, ssNone, {0, 0}},
      {{0, 1}, vkLeft, ssNone, {2, 0}},
      {{9, 2}, vkRight, ssNone, {9, 2}},   // end of the last line stays
      {{2, 0}, vkRight, ssNone, {0, 1}},
      {{2, 1}, vkDown, ssNone, {9, 2}},    // after the tab: display column 9
      {{9, 2}, vkUp, ssNone, {2, 1}},
      {{5, 2}, vkUp, ssNone, {0, 1}},      // inside the tab's cells: before the tab
      {{1, 2}, vkHome, ssNone, {0, 2}},
      {{1, 0}, vkEnd, ssNone, {2, 0}},
      {{1, 0}, vkEnd, ssCtrl, {9, 2}},
      {{1, 2}, vkHome, ssCtrl, {0, 0}},
      {{1, 1}, vkPageDown, ssNone, {9, 2}},
      {{1, 1}, vkPageUp, ssNone, {0, 0}},
  };
  for (const auto& c : cases) {
    m.SetCaret(c.from.col, c.from.line);
    EXPECT_TRUE(m.KeyDown(c.key, c.shift));
    EXPECT_EQ(Caret(), c.to) << "key " << c.key << " from " << c.from.col << "," << c.from.line;
  }
}

TEST_F(Memo, CtrlLeftAndRightJumpByWords) {
  Load("F0 43_10 F7");
  const struct {
    int from, key, to;
  } cases[] = {
      {11, vkLeft, 9}, {9, vkLeft, 6}, {6, vkLeft, 3}, {3, vkLeft, 0},
      {0, vkRight, 3}, {3, vkRight, 6}, {9, vkRight, 11},
  };
  for (const auto& c : cases) {
    m.SetCaret(c.from, 0);
    m.KeyDown(c.key, ssCtrl);
    EXPECT_EQ(m.CaretCol(), c.to) << c.from << " key " << c.key;
  }
}

TEST_F(Memo, ShiftExtendsFromTheAnchorAndPlainMoveDropsTheSelection) {
  Load("abcdef\r\nghi");
  m.SetCaret(2, 0);
  m.KeyDown(vkRight, ssShift);
  m.KeyDown(vkRight, ssShift);
  m.KeyDown(vkDown, ssShift);
  EXPECT_EQ(m.SelStart(), (TBMPos{2, 0}));
  EXPECT_EQ(m.SelEnd(), (TBMPos{3, 1}));
  m.KeyDown(vkUp, ssShift);
  m.KeyDown(vkLeft, ssShift);
  m.KeyDown(vkLeft, ssShift);
  m.KeyDown(vkLeft, ssShift);
  // The selection shrank to nothing on the way, so the anchor started again there.
  EXPECT_EQ(m.SelStart(), (TBMPos{0, 0}));
  EXPECT_EQ(m.SelEnd(), (TBMPos{2, 0}));
  EXPECT_EQ(m.GetSelText(), "ab");
  m.KeyDown(vkRight, ssNone);
  EXPECT_FALSE(m.SelAvail());
}

TEST_F(Memo, CaretMoveFiresOncePerPlacementEvenInPlace) {
  Load("ab");
  int moves = 0;
  m.OnCaretMove = [&] { ++moves; };
  m.SetCaret(0, 0);
  m.KeyDown(vkLeft, ssNone);
  EXPECT_EQ(moves, 2);
}

TEST_F(Memo, ReadOnlyAllowsCopyAndSelectionOnly) {
  Load("abc");
  m.SetReadOnly(true);
  m.KeyDown('A', ssCtrl);
  m.KeyDown('C', ssCtrl);
  for (int key : {'V', 'X', 'Z', 'Y'}) m.KeyDown(key, ssCtrl);
  m.KeyDown(vkDelete, ssNone);
  m.KeyDown(vkBack, ssNone);
  m.KeyDown(vkReturn, ssNone);
  m.KeyPress('q');
  EXPECT_EQ(Text(), "abc");
  m.SetReadOnly(false);
  m.MoveCaret(3, 0, true, ssNone);
  m.KeyDown('V', ssCtrl);
  EXPECT_EQ(Text(), "abcabc");
}

TEST_F(Memo, ClipboardKeys) {
  Load("abc");
  m.SelectRange({0, 0}, {1, 0});
  m.KeyDown(vkDelete, ssShift);  // cut
  EXPECT_EQ(Text(), "bc");
  m.SetCaret(2, 0);
  m.KeyDown(vkInsert, ssCtrl);   // nothing
  EXPECT_EQ(Text(), "bc");
  m.KeyDown(vkInsert, ssShift);  // paste
  EXPECT_EQ(Text(), "bca");
  m.KeyDown('X', ssCtrl);        // no selection: nothing
  EXPECT_EQ(Text(), "bca");
}

// The window's Delete command: Undo must bring back exactly the text before.
TEST_F(Memo, ClearSelectionIsUndoneLikeAnyRemoval) {
  Type("abc");
  m.SelectRange({0, 0}, {1, 0});
  m.ClearSelection();
  EXPECT_EQ(Text(), "bc");
  m.Undo();
  EXPECT_EQ(Text(), "abc");
  m.Undo();
  EXPECT_EQ(Text(), "");
  m.Redo();
  m.Redo();
  EXPECT_EQ(Text(), "bc");
}

TEST_F(Memo, ControlCharactersAreIgnoredButTabIsTyped) {
  Load("");
  for (char c : {'\x1b', '\x01', '\r', '\t', 'a'}) m.KeyPress(c);
  EXPECT_EQ(Text(), "\ta");
}

TEST_F(Memo, ScrollCaretIntoViewLandsHalfAPageInside) {
  std::string text;
  for (int i = 0; i < 100; ++i) text += "line\r\n";
  Load(text);
  m.MoveCaret(0, 50, true, ssNone);
  EXPECT_EQ(m.TopLine(), 50 - 10 + 1 + 5);
  m.MoveCaret(0, 20, true, ssNone);
  EXPECT_EQ(m.TopLine(), 15);
  m.ScrollToEnd();
  EXPECT_EQ(m.TopLine(), 90);
  EXPECT_EQ(m.CaretLine(), 99);
  m.SetTopLine(1000);
  EXPECT_EQ(m.TopLine(), 90);
  m.SetTopLine(-3);
  EXPECT_EQ(m.TopLine(), 0);
}

TEST_F(Memo, WheelScrollsByNotchesAndKeepsWhatIsLeftOfSmallDeltas) {
  EXPECT_FALSE(m.MouseWheel(0, -120, ssNone));  // nothing to scroll
  std::string text;
  for (int i = 0; i < 100; ++i) text += std::string(100, 'x') + "\r\n";
  Load(text);
  m.WidenHorzRangeToCaretLine();  // as the window does when the text is in
  EXPECT_TRUE(m.MouseWheel(0, -120, ssNone));
  EXPECT_EQ(m.TopLine(), 3);
  m.MouseWheel(0, 120, ssNone);
  EXPECT_EQ(m.TopLine(), 0);
  // A touchpad: twenty events of 12 are two notches.
  for (int i = 0; i < 20; ++i) m.MouseWheel(0, -12, ssNone);
  EXPECT_EQ(m.TopLine(), 6);
  // Turning back starts afresh instead of spending the rest.
  m.MouseWheel(0, -30, ssNone);
  m.MouseWheel(0, 30, ssNone);
  EXPECT_EQ(m.TopLine(), 6);
  // Sideways deltas, and the vertical wheel with Ctrl, scroll sideways.
  m.MouseWheel(-120, 0, ssNone);
  EXPECT_EQ(m.LeftCol(), 3);
  EXPECT_EQ(m.TopLine(), 6);
  m.MouseWheel(0, -80, ssCtrl);
  EXPECT_EQ(m.LeftCol(), 5);
  m.MouseWheel(40, 0, ssNone);
  EXPECT_EQ(m.LeftCol(), 4);
  // Shift moves the caret a line per event.
  m.SetCaret(0, 5);
  m.MouseWheel(0, 120, ssShift);
  EXPECT_EQ(m.CaretLine(), 4);
}

// ---------------------------------------------------------------- mouse

TEST_F(Memo, PointsMapToCellsThroughTabsAndGutter) {
  Load("\tab\r\nxyz");
  m.SetMetrics(8, 16, 8 * 20 + 26, 16 * 10, 26);
  EXPECT_EQ(m.PointToPos(26 + 8 * 5, 2, false), (TBMPos{0, 0}));  // inside the tab's cells
  EXPECT_EQ(m.PointToPos(26 + 8 * 8, 2, false), (TBMPos{1, 0}));
  EXPECT_EQ(m.PointToPos(10, 20, false), (TBMPos{0, 1}));         // gutter: column 0
  EXPECT_EQ(m.PointToPos(26 + 8 * 1, 5000, false).line, 2);        // below: line count
}

TEST_F(Memo, DraggingSelectsAndClickPlacesCaret) {
  Load("abcdef\r\nghijkl");
  m.MouseDown(8 * 1, 2, ssNone);
  m.MouseMove(8 * 3, 16 + 2, ssNone);
  m.MouseUp(8 * 3, 16 + 2, ssNone);
  EXPECT_EQ(m.GetSelText(), "bcdef\r\nghi");
  EXPECT_EQ(m.Anchor(), (TBMPos{1, 0}));
  // With drag selection off a press inside starts a new selection.
  m.AllowDragSelection = false;
  m.MouseDown(8 * 2, 2, ssNone);
  m.MouseUp(8 * 2, 2, ssNone);
  EXPECT_FALSE(m.SelAvail());
  EXPECT_EQ(Caret(), (TBMPos{2, 0}));
}

TEST_F(Memo, ClickInsideSelectionWithoutMovingPlacesCaret) {
  Load("abcdef");
  m.SelectRange({1, 0}, {5, 0});
  m.MouseDown(8 * 3, 2, ssNone);
  EXPECT_TRUE(m.DraggingSelection());
  EXPECT_EQ(Caret(), (TBMPos{5, 0}));  // the press does not move the caret
  m.MouseUp(8 * 3, 2, ssNone);
  EXPECT_FALSE(m.SelAvail());
  EXPECT_EQ(Caret(), (TBMPos{3, 0}));
}

TEST_F(Memo, GutterClickSelectsTheWholeLine) {
  Load("l0\r\nl1\r\nl2\r\nl3\r\nl4\r\nl5\r\nl6");
  m.SetMetrics(8, 16, 8 * 20 + 26, 16 * 10, 26);
  m.MouseDown(20, 16 * 5 + 3, ssNone);
  m.MouseUp(20, 16 * 5 + 3, ssNone);
  EXPECT_EQ(m.SelStart(), (TBMPos{0, 5}));
  EXPECT_EQ(m.SelEnd(), (TBMPos{0, 6}));
  m.MouseDown(20, 16 * 1 + 3, ssNone);
  m.MouseMove(20, 16 * 3 + 3, ssNone);
  m.MouseUp(20, 16 * 3 + 3, ssNone);
  EXPECT_EQ(m.GetSelText(), "l1\r\nl2\r\n");
}

TEST_F(Memo, DragMovesOrCopiesTheSelectionAndUndoTakesItBack) {
  const struct {
    bool copy;
    int dropCol, dropLine;
    std::string text;
  } cases[] = {
      {false, 8, 0, "ab  efcd\r\nxy"},
      {true, 6, 0, "ab cd cdef\r\nxy"},
      {false, 1, 1, "ab  ef\r\nxcdy"},
  };
  for (const auto& c : cases) {
    Load("ab cd ef\r\nxy");
    m.SelectRange({3, 0}, {5, 0});
    m.MouseDown(8 * 4, 2, ssNone);
    const TBMShift shift = c.copy ? ssCtrl : ssNone;
    m.MouseMove(8 * c.dropCol, 16 * c.dropLine + 2, shift);
    m.MouseUp(8 * c.dropCol, 16 * c.dropLine + 2, shift);
    EXPECT_EQ(Text(), c.text);
    EXPECT_EQ(m.GetSelText(), "cd");
    m.Undo();
    if (!c.copy) m.Undo();
    EXPECT_EQ(Text(), "ab cd ef\r\nxy");
    // The source selection is back with the caret at its end, so Shift with
    // an arrow extends it there (a copy's undo had left the caret at the
    // drop point, and Shift+Right selected from there).
    EXPECT_EQ(m.GetSelText(), "cd");
    EXPECT_EQ(Caret(), (TBMPos{5, 0}));
    m.KeyDown(vkRight, ssShift);
    EXPECT_EQ(m.GetSelText(), "cd ") << c.copy << " " << c.dropCol;
  }
}

TEST_F(Memo, RestoredSelectionKeepsTheCaretAtAnEndOppositeTheAnchor) {
  Load("ab cd ef\r\nxy");
  const struct {
    TBMPos anchor, caret;
    TBMPos wantAnchor, wantCaret;
  } cases[] = {
      {{3, 0}, {5, 0}, {3, 0}, {5, 0}},   // as made by Shift or the mouse
      {{5, 0}, {3, 0}, {5, 0}, {3, 0}},   // made backwards
      {{3, 0}, {1, 1}, {3, 0}, {5, 0}},   // caret outside: to the free end
      {{5, 0}, {1, 1}, {5, 0}, {3, 0}},
      {{-1, -1}, {4, 0}, {3, 0}, {5, 0}},  // no anchor, caret inside
  };
  for (const auto& c : cases) {
    m.RestoreEditState({true, c.anchor.col, c.anchor.line, 3, 0, 5, 0, c.caret.col, c.caret.line});
    EXPECT_EQ(m.Anchor(), c.wantAnchor) << c.caret.col << "," << c.caret.line;
    EXPECT_EQ(Caret(), c.wantCaret) << c.caret.col << "," << c.caret.line;
    EXPECT_EQ(m.GetSelText(), "cd");
  }
}

TEST_F(Memo, ScrollToEndKeepsTheCaretOfASelection) {
  std::string text;
  for (int i = 0; i < 50; ++i) text += "F0 7E 7F 06 01 F7\r\n";
  Load(text);
  m.SelectRange({3, 2}, {8, 2});
  m.Lines().Add("F0 41 F7");
  m.ScrollToEnd();
  EXPECT_EQ(m.TopLine(), m.Lines().Count() - m.VisibleLines());
  EXPECT_EQ(Caret(), (TBMPos{8, 2}));
  m.KeyDown(vkLeft, ssShift);
  EXPECT_EQ(m.GetSelText(), "7E 7");
  // Without a selection the caret follows the new data.
  m.KeyDown(vkRight, ssNone);
  m.ScrollToEnd();
  EXPECT_EQ(m.CaretLine(), m.Lines().Count() - 1);
}

TEST_F(Memo, TripleClickSelectsTheLineWithItsBreak) {
  Load("F0 43 F7\r\n90 3C 7F\r\nF0 7E F7");
  const struct {
    int line;
    std::string selected;
  } cases[] = {{0, "F0 43 F7\r\n"}, {1, "90 3C 7F\r\n"}, {2, "F0 7E F7"}, {7, "F0 7E F7"}};
  for (const auto& c : cases) {
    const int y = 16 * c.line + 2;
    m.MouseDown(8 * 4, y, ssNone);
    m.MouseUp(8 * 4, y, ssNone);
    m.DoubleClick();
    m.MouseDown(8 * 4, y, ssNone);
    m.MouseUp(8 * 4, y, ssNone);
    m.TripleClick(8 * 4, y, ssNone);
    m.MouseMove(8 * 1, y, ssNone);  // the rest of the click changes nothing
    m.MouseUp(8 * 1, y, ssNone);
    EXPECT_EQ(m.GetSelText(), c.selected) << c.line;
    EXPECT_EQ(Caret(), m.SelEnd());
  }
  // In the gutter the press is the gutter's: the line and its break.
  m.SetMetrics(8, 16, 8 * 20 + 26, 16 * 10, 26);
  m.TripleClick(20, 16 + 3, ssNone);
  m.MouseUp(20, 16 + 3, ssNone);
  EXPECT_EQ(m.GetSelText(), "90 3C 7F\r\n");
}

TEST_F(Memo, AWholeTextKeepsItsLongestLineInReach) {
  Load("F0 F7\r\n" + std::string(1000000, '0') + "\r\nF0 F7");
  EXPECT_EQ(Caret(), (TBMPos{0, 0}));
  m.SetLeftCol(500000);
  EXPECT_EQ(m.LeftCol(), 500000);
  EXPECT_EQ(m.MaxLeftCol(), 1000000 - m.VisibleCols() + 1);
  m.Lines().Clear();
  EXPECT_EQ(m.MaxLeftCol(), 0);
}

TEST_F(Memo, ReadOnlySelectsButDoesNotDrag) {
  Load("abcdef");
  m.SetReadOnly(true);
  m.SelectRange({1, 0}, {4, 0});
  m.MouseDown(8 * 2, 2, ssNone);
  EXPECT_FALSE(m.DraggingSelection());
  m.MouseMove(8 * 5, 2, ssNone);
  m.MouseUp(8 * 5, 2, ssNone);
  EXPECT_EQ(m.GetSelText(), "cde");
}

TEST_F(Memo, DoubleClickSelectsWordAndSwallowsTheRestOfTheClick) {
  const struct {
    int col;
    std::string word;
  } cases[] = {{1, "F0"}, {0, "F0"}, {3, "F0"}, {7, "43"}, {8, "10"}, {10, "10"}};
  for (const auto& c : cases) {
    Load("F0   43_10");
    m.MouseDown(8 * c.col, 2, ssNone);
    m.MouseUp(8 * c.col, 2, ssNone);
    m.DoubleClick();
    m.MouseDown(8 * c.col, 2, ssNone);  // the press that comes with the double click
    m.MouseMove(8 * 0, 2, ssNone);
    m.MouseUp(8 * 0, 2, ssNone);
    EXPECT_EQ(m.GetSelText(), c.word) << c.col;
  }
}

TEST_F(Memo, AutoScrollWhileDraggingBelowTheWindow) {
  std::string text;
  for (int i = 0; i < 100; ++i) text += "line\r\n";
  Load(text);
  m.MouseDown(8, 2, ssNone);
  m.MouseMove(8, 160 + 65, ssNone);
  EXPECT_EQ(m.AutoScrollLineStep(), 3);
  m.AutoScrollTick(8, 160 + 65, ssNone);
  EXPECT_EQ(m.TopLine(), 3);
  EXPECT_EQ(m.SelEnd().line, 13);
  m.MouseUp(8, 160 + 65, ssNone);
  EXPECT_EQ(m.AutoScrollLineStep(), 0);
}

// ---------------------------------------------------------------- drop list

struct TDropListMemo : TBMCustomMemo {
  bool visible = false;
  int left = 0, top = 0;
  bool ShowDropList(int l, int t, int, int) override {
    visible = true;
    left = l;
    top = t;
    return true;
  }
  bool DropListVisible() const override { return visible; }
  void HideDropList() override { visible = false; }
};

TEST(DropList, OpensAfterIdleTicksOnlyWithItemsAndNoSelection) {
  TDropListMemo m;
  m.SetMetrics(8, 16, 400, 160, 0);
  m.Lines().SetText("ab");
  m.SetCaret(2, 0);
  int downs = 0;
  m.OnDropListDown = [&] { ++downs; };
  for (int i = 0; i < 6; ++i) m.DropListIdleTick();
  EXPECT_EQ(downs, 1);       // fired although the list is empty
  EXPECT_FALSE(m.visible);
  m.SetDropListItems({"b", "a|A|alpha"});
  for (int i = 0; i < 5; ++i) m.DropListIdleTick();
  EXPECT_FALSE(m.visible);
  m.DropListIdleTick();
  EXPECT_TRUE(m.visible);
  EXPECT_EQ(m.top, 16);
  EXPECT_EQ(m.left, 16);
  m.visible = false;
  m.SelectRange({0, 0}, {1, 0});
  m.DropDown();
  EXPECT_FALSE(m.visible);
  m.SetDropListTimeDelay(11);
  EXPECT_EQ(m.DropListTimeDelay(), 10);
  m.SetDropListTimeDelay(-1);
  EXPECT_EQ(m.DropListTimeDelay(), 0);
  for (int i = 0; i < 100; ++i) m.DropListIdleTick();
  EXPECT_EQ(downs, 3);
}

TEST(DropList, OpensAboveTheCaretOnTheLastRow) {
  TDropListMemo m;
  m.SetMetrics(8, 16, 400, 160, 0);
  m.Lines().SetText("0\r\n1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9");
  m.SetCaret(0, 9);
  m.SetDropListItems({"x"});
  m.DropDown();
  EXPECT_EQ(m.top, 160 - 16 - 16 * 5);
}

TEST(DropList, ItemFieldsAndChoosingTypesTheInsertedPart) {
  const struct {
    std::string item, shown, second, inserted;
  } cases[] = {
      {"plain", "plain", "plain", "plain"},
      {"name|F0 7E|F0 7E 7F", "name", "F0 7E", "F0 7E 7F"},
      {"name|tail", "name", "tail", "tail"},
  };
  for (const auto& c : cases) {
    const auto f = SplitDropListItem(c.item);
    EXPECT_EQ(f.shown, c.shown);
    EXPECT_EQ(f.second, c.second);
    EXPECT_EQ(f.inserted, c.inserted);
  }
  TBMCustomMemo m;
  m.ChooseDropListItem("x|y|ab cd");
  EXPECT_EQ(m.Lines().Text(), "ab cd");
  EXPECT_EQ(m.UndoCount(), 2);  // typed: "ab" and " cd"
}

}  // namespace
}  // namespace kalvex

namespace kalvex {
namespace {

// Random edits through the keyboard, clipboard, drop and program paths, with
// and without the caret allowed beyond line ends, with a ring that wraps and
// with undos in between: each Undo must give back the text before the change
// that made its block, and redoing everything the final text.
TEST(MemoUndo, RandomEditsUndoAndRedoExactly) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    TBMCustomMemo m;
    m.SetMetrics(8, 16, 8 * 20, 16 * 10, 0);
    const int ringSize = seed % 3 == 0 ? 7 : 2000;  // a small ring wraps many times
    m.SetUndoSize(ringSize);
    m.AllowCaretInWhiteSpace = seed % 2 == 0;
    m.Lines().SetText("F0 43 10\r\n\t7E 00\r\n\r\nF7");
    unsigned state = seed;
    auto rnd = [&](int n) {
      state = state * 1103515245u + 12345u;
      return static_cast<int>((state >> 16) % static_cast<unsigned>(n));
    };
    auto randomPos = [&] {
      const int line = rnd(m.Lines().Count() + 1);
      return TBMPos{rnd(12), line};
    };
    // The text before each block that Undo can take back, oldest first;
    // empty where unknown (the second block of a two-block change).
    std::vector<std::optional<std::string>> before;
    auto checkUndo = [&](const char* when) {
      m.Undo();
      const auto& expected = before[static_cast<size_t>(m.UndoCount())];
      if (expected) {
        ASSERT_EQ(m.Lines().Text(), *expected) << when << " seed " << seed << " block " << m.UndoCount();
      }
    };
    for (int step = 0; step < 300; ++step) {
      const std::string text = m.Lines().Text();
      const int count = m.UndoCount();
      const TBMUndoBlock* top = m.UndoBlock(0);
      switch (rnd(16)) {
        case 0: case 1: case 2: m.KeyPress("ab 7F\t"[rnd(6)]); break;
        case 3: m.KeyDown(vkReturn, ssNone); break;
        case 4: m.KeyDown(vkBack, ssNone); break;
        case 5: m.KeyDown(vkDelete, ssNone); break;
        case 6: m.SelectRange(randomPos(), randomPos()); break;
        case 7: m.KeyDown("CXV"[rnd(3)], ssCtrl); break;
        case 8: {
          const TBMPos p = randomPos();
          m.MoveCaret(p.col, p.line, true, rnd(2) ? ssShift : ssNone);
          break;
        }
        case 9: m.KeyDown(vkLeft + rnd(8), rnd(2) ? ssShift : ssNone); break;
        case 10:
          if (m.SelAvail()) {
            const TBMPos p = randomPos();
            const bool inside = m.SelStart() <= p && p <= m.SelEnd();
            if (!inside) m.DropSelection(p, rnd(2));
          }
          break;
        case 11: m.InsertText(rnd(2) ? "x\r\ny" : "1\n2\r3", m.CaretCol(), true, false, m.CaretLine()); break;
        case 12: m.ClearSelection(); break;
        case 13:
          // What the window does to its boxes: append, or clear.
          if (rnd(4) == 0) {
            m.Clear();
          } else {
            m.AppendText(rnd(2) ? "\r\nF0 7E F7" : " 7F");
          }
          break;
        case 14:  // a few steps back; the next edit drops what Redo had
          for (int k = rnd(4); k > 0 && m.UndoCount() > 0; --k) checkUndo("partial");
          if (rnd(2) && m.RedoCount() > 0) m.Redo();
          before.resize(static_cast<size_t>(m.UndoCount() + m.RedoCount()));
          continue;
        case 15: m.KeyPress('c'); break;
      }
      if (m.UndoCount() == 0) {  // the history was emptied
        before.clear();
        continue;
      }
      // New blocks: the newest block is not the one on top before.
      const TBMUndoBlock* now = m.UndoBlock(0);
      if (now == top && m.UndoCount() == count) continue;  // nothing, or typing merged into it
      before.resize(static_cast<size_t>(count));        // Redo's steps are gone
      const int added = m.UndoBlock(1) == top && count > 0 ? 1 : (count == 0 && m.UndoCount() == 1 ? 1 : 2);
      before.push_back(text);
      if (added == 2) before.push_back(std::nullopt);
      while (static_cast<int>(before.size()) > ringSize) before.erase(before.begin());
      ASSERT_EQ(static_cast<int>(before.size()), m.UndoCount()) << "seed " << seed << " step " << step;
    }
    const std::string end = m.Lines().Text();
    const int steps = m.UndoCount();
    for (int i = 0; i < steps; ++i) checkUndo("final");
    m.Undo();  // nothing left: no change
    for (int i = 0; i < steps; ++i) m.Redo();
    ASSERT_EQ(m.Lines().Text(), end) << "seed " << seed;
  }
}

}  // namespace
}  // namespace kalvex
