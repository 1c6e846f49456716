#pragma once
#include <functional>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kalvex {

// Errors of the line store: a bad index, or a file that cannot be opened or
// created. The message is the text the user reads.
class EStringListError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The editor's line store: an ordered list of byte-string lines without their
// line breaks. Every modifying operation records the range of lines it touched;
// the range is announced through OnLinesChanged by the next modifying operation
// or, at the latest, when the outermost update ends, so a view can repaint only
// what changed. Lines are kept in one vector: appending is amortised O(1) and
// nothing walks the whole list per operation.
class TBMStrings {
public:
  static constexpr int kWholeText = -1;     // as first line: everything changed
  static constexpr int kToEnd = -1;         // as last line: up to the end
  static constexpr int kNothingPending = -2;

  using TLinesChangedEvent = std::function<void(TBMStrings& sender, int firstLine, int lastLine)>;
  using TNotifyEvent = std::function<void(TBMStrings& sender)>;

  TBMStrings() = default;
  TBMStrings(const TBMStrings&) = delete;
  TBMStrings& operator=(const TBMStrings&) = delete;

  // Announces the pending changed range (see the merge rule in RecordRange).
  TLinesChangedEvent OnLinesChanged;
  // Fired when MaxLineLength differs from the last value announced.
  TNotifyEvent OnMaxLengthChanged;
  // Fired when the outermost update begins and when it ends (every operation
  // runs inside an update of its own).
  TNotifyEvent OnChanging;
  TNotifyEvent OnChange;

  int Count() const { return static_cast<int>(lines_.size()); }
  bool Empty() const { return lines_.empty(); }
  const std::string& Get(int i) const;
  const std::string& operator[](int i) const { return Get(i); }
  const std::vector<std::string>& Lines() const { return lines_; }

  void Put(int i, std::string line);
  void Insert(int i, std::string line);
  void Add(std::string line);
  void Delete(int i);
  void Exchange(int i, int j);
  void AddStrings(const std::vector<std::string>& lines);
  void AddStrings(const TBMStrings& other) { AddStrings(other.lines_); }
  void CustomSort(const std::function<bool(const std::string&, const std::string&)>& less);
  void Clear();
  // Copies the other list's lines into this one (a whole-text replacement).
  void Assign(const std::vector<std::string>& lines);
  void Assign(const TBMStrings& other) { Assign(other.lines_); }

  // Bulk forms for big pastes and selections: one move of the following lines
  // instead of one per line. Each records one range, first..end.
  void InsertLines(int i, std::vector<std::string> lines);
  void DeleteLines(int first, int count);

  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const { return update_count_; }

  // The lines joined by CR LF, without a break after the last line.
  std::string Text() const;
  // Replaces the whole text; breaks are CR LF, lone CR and lone LF. A final
  // break does not add an empty line. NUL bytes are kept as characters.
  void SetText(std::string_view text);

  // Files are the file module's: it loads and saves atomically, in one pass.

  int MaxLineLength() const { return max_line_length_; }
  // Announced at once when no update is open.
  void SetMaxLineLength(int value);

  // The range not yet announced (for tests and views).
  int PendingFirst() const { return pending_first_; }
  int PendingLast() const { return pending_last_; }

private:
  void CheckIndex(int i, bool allowEnd = false) const;
  void Changing();
  void Changed();
  void RecordRange(int first, int last);
  void RaiseMax(size_t length);
  void ClearLines();

  std::vector<std::string> lines_;
  int update_count_ = 0;
  int pending_first_ = 0;  // a new store starts with the range 0..0 pending
  int pending_last_ = 0;
  int max_line_length_ = 0;
  int announced_max_ = 0;
};

// Holds a store in one update for a scope, also when the scope throws.
class TBMUpdateGuard {
public:
  explicit TBMUpdateGuard(TBMStrings& lines) : lines_(lines) { lines_.BeginUpdate(); }
  ~TBMUpdateGuard() { lines_.EndUpdate(); }
  TBMUpdateGuard(const TBMUpdateGuard&) = delete;
  TBMUpdateGuard& operator=(const TBMUpdateGuard&) = delete;

private:
  TBMStrings& lines_;
};

// Merges a changed range into the pending one: the smaller first (-1, the
// whole text, wins; a first below -1 counts as 0), and the larger last (-1,
// to the end, wins; a last beyond the last of `count` lines counts as -1).
// Nothing pending (kNothingPending) takes the new range as it is.
void MergeChangedRange(int& pendingFirst, int& pendingLast, int first, int last, int count);

// Finds the next line break at or after `from`: CR LF, lone CR or lone LF.
// Returns false when there is none; else sets its position and length (1 or 2).
bool FindLineBreak(std::string_view text, size_t from, size_t& pos, size_t& length);

// Splits a text at CR LF, lone CR and lone LF. A text that ends with a break
// gives no empty last line unless keepTrailingEmpty is set.
std::vector<std::string> SplitLines(std::string_view text, bool keepTrailingEmpty);

}  // namespace kalvex
