#include "editor/core/bm_undo_history.h"

namespace kalvex {

TBMUndoHistory::TBMUndoHistory(int size) { SetSize(size); }

void TBMUndoHistory::SetSize(int size) {
  if (size < 0 || (size == size_ && !blocks_.empty())) return;
  blocks_.clear();
  blocks_.resize(static_cast<size_t>(size));
  size_ = size;
  index_ = undo_count_ = redo_count_ = 0;
}

void TBMUndoHistory::Clear() {
  index_ = 0;
  undo_count_ = 0;
  redo_count_ = 0;
  for (auto& b : blocks_) {
    std::string().swap(b.text);
    std::string().swap(b.inserted);
  }
}

void TBMUndoHistory::Record(TBMUndoKind kind, std::string text, const TBMEditState& before,
                            const TBMEditState& after) {
  if (size_ == 0 || text.empty()) return;
  TBMUndoBlock& cur = blocks_[static_cast<size_t>(index_)];
  TBMUndoBlock& prev = blocks_[static_cast<size_t>(index_ == 0 ? size_ - 1 : index_ - 1)];
  bool endsBlank = false, endsBreak = false;
  if (kind == ukTyping) {
    const unsigned char c = static_cast<unsigned char>(text.back());
    endsBreak = c == '\r' || c == '\n';
    endsBlank = c < 33 && !endsBreak;
  }
  if (kind == ukTyping && undo_count_ >= 1 && prev.kind == ukTyping && !endsBreak && !prev.endsWithLineBreak &&
      (prev.endsWithBlank || !endsBlank) && prev.after == before) {
    prev.text += text;
    prev.after = after;
    prev.endsWithBlank = endsBlank;
    prev.endsWithLineBreak = endsBreak;
    redo_count_ = 0;
    return;
  }
  cur.kind = kind;
  cur.before = before;
  cur.text = std::move(text);
  std::string().swap(cur.inserted);
  cur.after = after;
  cur.endsWithBlank = endsBlank;
  cur.endsWithLineBreak = endsBreak;
  if (undo_count_ < size_) ++undo_count_;
  index_ = (index_ + 1) % size_;
  redo_count_ = 0;
}

void TBMUndoHistory::RecordReplace(std::string removed, std::string inserted, const TBMEditState& before,
                                   const TBMEditState& after) {
  if (size_ == 0) return;
  TBMUndoBlock& cur = blocks_[static_cast<size_t>(index_)];
  cur.kind = ukReplace;
  cur.before = before;
  cur.after = after;
  cur.text = std::move(removed);
  cur.inserted = std::move(inserted);
  cur.endsWithBlank = cur.endsWithLineBreak = false;
  if (undo_count_ < size_) ++undo_count_;
  index_ = (index_ + 1) % size_;
  redo_count_ = 0;
}

const TBMUndoBlock* TBMUndoHistory::TakeUndo() {
  if (undo_count_ < 1) return nullptr;
  --undo_count_;
  ++redo_count_;
  index_ = index_ == 0 ? size_ - 1 : index_ - 1;
  return &blocks_[static_cast<size_t>(index_)];
}

const TBMUndoBlock* TBMUndoHistory::TakeRedo() {
  if (redo_count_ < 1) return nullptr;
  --redo_count_;
  ++undo_count_;
  const TBMUndoBlock* b = &blocks_[static_cast<size_t>(index_)];
  index_ = (index_ + 1) % size_;
  return b;
}

const TBMUndoBlock* TBMUndoHistory::Block(int stepsBack) const {
  if (stepsBack < 0 || stepsBack >= undo_count_) return nullptr;
  const int i = ((index_ - 1 - stepsBack) % size_ + size_) % size_;
  return &blocks_[static_cast<size_t>(i)];
}

}  // namespace kalvex
