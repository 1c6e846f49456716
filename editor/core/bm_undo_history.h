#pragma once
// The editor's undo history: a ring of the last edits (20 by default), each
// with the text it inserted or removed and the caret and selection before
// and after. Typing that goes on where the last typing stopped joins its
// block, a word at a time (a blank begins the next word's block) and never
// past a line break. Undo moves a block to
// the redo side; a new edit drops what could be redone.

#include <string>
#include <vector>

#include "editor/core/bm_edit_state.h"

namespace kalvex {

class TBMUndoHistory {
public:
  explicit TBMUndoHistory(int size);

  int Size() const { return size_; }
  // A new size starts an empty history; below 0 is ignored.
  void SetSize(int size);
  int UndoCount() const { return undo_count_; }
  int RedoCount() const { return redo_count_; }
  void Clear();

  void Record(TBMUndoKind kind, std::string text, const TBMEditState& before, const TBMEditState& after);
  // The whole text replaced: old and new text in one block.
  void RecordReplace(std::string removed, std::string inserted, const TBMEditState& before,
                     const TBMEditState& after);
  // The block to undo (or redo), now on the other side; nullptr when none.
  const TBMUndoBlock* TakeUndo();
  const TBMUndoBlock* TakeRedo();
  // 0 is the block TakeUndo gives next; nullptr beyond the undo side.
  const TBMUndoBlock* Block(int stepsBack) const;

private:
  std::vector<TBMUndoBlock> blocks_;
  int size_ = 0;
  int index_ = 0;  // where the next block goes
  int undo_count_ = 0;
  int redo_count_ = 0;
};

}  // namespace kalvex
