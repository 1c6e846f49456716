// The undo ring on its own: the oldest edit goes when it is full, typing
// joins its block a word at a time, and a new edit drops the redo side.
#include "editor/core/bm_undo_history.h"

#include <gtest/gtest.h>

namespace kalvex {
namespace {

TBMEditState At(int col) {
  TBMEditState s;
  s.caretCol = s.selStartCol = s.selEndCol = col;
  return s;
}

TEST(BMUndoHistory, RingTypingBlocksAndRedo) {
  TBMUndoHistory h(3);
  for (int i = 0; i < 5; ++i) h.Record(ukInsert, "x" + std::to_string(i), At(i), At(i + 1));
  EXPECT_EQ(h.UndoCount(), 3);
  EXPECT_EQ(h.Block(0)->text, "x4");
  EXPECT_EQ(h.Block(2)->text, "x2");  // x0 and x1 went
  EXPECT_EQ(h.Block(3), nullptr);

  h.SetSize(20);
  // "ab cd" typed a key at a time: a block per word (a blank starts the next
  // one); a line break is a block of its own.
  const char* keys[] = {"a", "b", " ", "c", "d", "\r\n", "e"};
  int col = 0;
  for (const char* k : keys) {
    h.Record(ukTyping, k, At(col), At(col + 1));
    ++col;
  }
  ASSERT_EQ(h.UndoCount(), 4);
  EXPECT_EQ(h.Block(3)->text, "ab");
  EXPECT_EQ(h.Block(2)->text, " cd");
  EXPECT_EQ(h.Block(1)->text, "\r\n");
  EXPECT_EQ(h.Block(0)->text, "e");

  EXPECT_EQ(h.TakeUndo()->text, "e");
  EXPECT_EQ(h.TakeUndo()->text, "\r\n");
  EXPECT_EQ(h.RedoCount(), 2);
  EXPECT_EQ(h.TakeRedo()->text, "\r\n");
  h.Record(ukDelete, "z", At(9), At(8));  // a new edit: "e" cannot come back
  EXPECT_EQ(h.RedoCount(), 0);
  EXPECT_EQ(h.TakeRedo(), nullptr);
  EXPECT_EQ(h.Block(0)->text, "z");
}

}  // namespace
}  // namespace kalvex
