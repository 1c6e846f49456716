#include "editor/core/bm_strings.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <istream>
#include <iterator>
#include <limits>
#include <ostream>
#include <sstream>

#include "util/read_file.h"

namespace kalvex {

namespace {

constexpr std::string_view kLineBreak = "\r\n";

int ClampLength(size_t n) {
  return n > static_cast<size_t>(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                   : static_cast<int>(n);
}

}  // namespace

bool FindLineBreak(std::string_view text, size_t from, size_t& pos, size_t& length) {
  for (size_t i = from; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      pos = i;
      length = (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
      return true;
    }
  }
  return false;
}

std::vector<std::string> SplitLines(std::string_view text, bool keepTrailingEmpty) {
  std::vector<std::string> out;
  size_t start = 0, pos = 0, len = 0;
  while (FindLineBreak(text, start, pos, len)) {
    out.emplace_back(text.substr(start, pos - start));
    start = pos + len;
  }
  if (start < text.size() || keepTrailingEmpty) out.emplace_back(text.substr(start));
  return out;
}

const std::string& TBMStrings::Get(int i) const {
  CheckIndex(i);
  return lines_[static_cast<size_t>(i)];
}

void TBMStrings::CheckIndex(int i, bool allowEnd) const {
  if (i < 0 || i > Count() || (i == Count() && !allowEnd))
    throw EStringListError("List index out of bounds (" + std::to_string(i) + ")");
}

void TBMStrings::Changing() {
  if (update_count_ == 0 && OnChanging) OnChanging(*this);
}

// Called at the end of every modifying operation and when the outermost
// update ends: the view learns of the range recorded by the operation before.
void TBMStrings::Changed() {
  if (update_count_ == 0 && OnChange) OnChange(*this);
  if (pending_first_ != kNothingPending) {
    const int first = pending_first_, last = pending_last_;
    pending_first_ = kNothingPending;
    if (OnLinesChanged) OnLinesChanged(*this, first, last);
  }
  if (max_line_length_ != announced_max_) {
    announced_max_ = max_line_length_;
    if (OnMaxLengthChanged) OnMaxLengthChanged(*this);
  }
}

void TBMStrings::BeginUpdate() {
  if (update_count_ == 0) Changing();
  ++update_count_;
}

void TBMStrings::EndUpdate() {
  if (update_count_ <= 0) return;  // unbalanced call: nothing to end
  if (--update_count_ == 0) Changed();
}

// Merges a changed range into the pending one; -1 as first means the whole
// text, -1 as last the end of the text.
void MergeChangedRange(int& pendingFirst, int& pendingLast, int first, int last, int count) {
  if (last > count - 1) last = TBMStrings::kToEnd;
  if (first < TBMStrings::kWholeText) first = 0;
  if (pendingFirst == TBMStrings::kNothingPending) {
    pendingFirst = first;
    pendingLast = last;
    return;
  }
  if (pendingFirst == TBMStrings::kWholeText) return;
  pendingFirst = std::min(pendingFirst, first);
  if (pendingLast != TBMStrings::kToEnd)
    pendingLast = (last == TBMStrings::kToEnd) ? TBMStrings::kToEnd : std::max(pendingLast, last);
}

void TBMStrings::RecordRange(int first, int last) {
  MergeChangedRange(pending_first_, pending_last_, first, last, Count());
}

void TBMStrings::RaiseMax(size_t length) {
  max_line_length_ = std::max(max_line_length_, ClampLength(length));
}

void TBMStrings::Put(int i, std::string line) {
  CheckIndex(i);
  TBMUpdateGuard update(*this);
  const size_t len = line.size();
  Changing();
  lines_[static_cast<size_t>(i)] = std::move(line);
  Changed();
  RecordRange(i, i);
  RaiseMax(len);
}

void TBMStrings::Insert(int i, std::string line) {
  CheckIndex(i, true);
  TBMUpdateGuard update(*this);
  const size_t len = line.size();
  Changing();
  lines_.insert(lines_.begin() + i, std::move(line));
  Changed();
  RecordRange(i, kToEnd);
  RaiseMax(len);
}

void TBMStrings::Add(std::string line) { Insert(Count(), std::move(line)); }

void TBMStrings::InsertLines(int i, std::vector<std::string> lines) {
  CheckIndex(i, true);
  if (lines.empty()) return;
  TBMUpdateGuard update(*this);
  size_t longest = 0;
  for (const auto& l : lines) longest = std::max(longest, l.size());
  Changing();
  lines_.insert(lines_.begin() + i, std::make_move_iterator(lines.begin()),
                std::make_move_iterator(lines.end()));
  Changed();
  RecordRange(i, kToEnd);
  RaiseMax(longest);
}

void TBMStrings::Delete(int i) {
  CheckIndex(i);
  TBMUpdateGuard update(*this);
  Changing();
  lines_.erase(lines_.begin() + i);
  Changed();
  RecordRange(i, kToEnd);
}

void TBMStrings::DeleteLines(int first, int count) {
  if (count <= 0) return;
  CheckIndex(first);
  CheckIndex(first + count - 1);
  TBMUpdateGuard update(*this);
  Changing();
  lines_.erase(lines_.begin() + first, lines_.begin() + first + count);
  Changed();
  RecordRange(first, kToEnd);
}

void TBMStrings::Exchange(int i, int j) {
  CheckIndex(i);
  CheckIndex(j);
  TBMUpdateGuard update(*this);
  Changing();
  std::swap(lines_[static_cast<size_t>(i)], lines_[static_cast<size_t>(j)]);
  Changed();
  RecordRange(i, i);
  RecordRange(j, j);
}

void TBMStrings::AddStrings(const std::vector<std::string>& lines) {
  TBMUpdateGuard update(*this);
  const int oldCount = Count();
  // Appends through Add, so each line is announced like any other insert.
  for (const auto& l : lines) Add(l);
  RecordRange(oldCount, kToEnd);
}

void TBMStrings::CustomSort(const std::function<bool(const std::string&, const std::string&)>& less) {
  TBMUpdateGuard update(*this);
  Changing();
  std::stable_sort(lines_.begin(), lines_.end(), less);
  Changed();
  RecordRange(kWholeText, kToEnd);
}

void TBMStrings::ClearLines() {
  if (lines_.empty()) return;
  Changing();
  std::vector<std::string>().swap(lines_);  // give the memory back too
  Changed();
}

void TBMStrings::Clear() {
  TBMUpdateGuard update(*this);
  ClearLines();
  RecordRange(kWholeText, kToEnd);
  max_line_length_ = 0;
}

void TBMStrings::Assign(const std::vector<std::string>& lines) {
  if (&lines == &lines_) return;
  TBMUpdateGuard update(*this);
  Clear();
  lines_.reserve(lines.size());
  for (const auto& l : lines) Add(l);
}

std::string TBMStrings::Text() const {
  if (lines_.empty()) return {};
  size_t total = (lines_.size() - 1) * kLineBreak.size();
  for (const auto& l : lines_) total += l.size();
  std::string out;
  out.reserve(total);
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (i) out += kLineBreak;
    out += lines_[i];
  }
  return out;
}

void TBMStrings::SetText(std::string_view text) {
  TBMUpdateGuard update(*this);
  max_line_length_ = 0;
  Clear();
  // Count the lines first so the list is allocated once, without spare room.
  size_t lines = 0, start = 0, pos = 0, len = 0;
  while (FindLineBreak(text, start, pos, len)) {
    ++lines;
    start = pos + len;
  }
  if (start < text.size()) ++lines;
  lines_.reserve(lines);
  start = 0;
  while (FindLineBreak(text, start, pos, len)) {
    Add(std::string(text.substr(start, pos - start)));
    start = pos + len;
  }
  if (start < text.size()) Add(std::string(text.substr(start)));
  RecordRange(kWholeText, kToEnd);
}

void TBMStrings::SetMaxLineLength(int value) {
  max_line_length_ = value;
  if (update_count_ == 0 && max_line_length_ != announced_max_) {
    announced_max_ = max_line_length_;
    if (OnMaxLengthChanged) OnMaxLengthChanged(*this);
  }
}

}  // namespace kalvex
