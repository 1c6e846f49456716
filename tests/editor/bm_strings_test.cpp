#include "editor/core/bm_strings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

namespace kalvex {
namespace {

using TRange = std::pair<int, int>;

// Collects what the store announces.
struct TRecorder {
  explicit TRecorder(TBMStrings& s) {
    s.OnLinesChanged = [this](TBMStrings&, int f, int l) { ranges.emplace_back(f, l); };
    s.OnMaxLengthChanged = [this](TBMStrings& st) { maxes.push_back(st.MaxLineLength()); };
    s.OnChanging = [this](TBMStrings&) { ++changing; };
    s.OnChange = [this](TBMStrings&) { ++changed; };
  }
  std::vector<TRange> ranges;
  std::vector<int> maxes;
  int changing = 0, changed = 0;
};

TEST(BMStrings, SingleOperationsAnnounceTheirRangeAtTheirEnd) {
  TBMStrings s;
  TRecorder rec(s);
  s.Add("one");  // the new store's pending 0..0 goes out first, then 0..end
  EXPECT_EQ(rec.ranges, (std::vector<TRange>{{0, 0}, {0, -1}}));
  s.Add("two");
  s.Add("three");
  rec.ranges.clear();
  s.Put(1, "TWO");
  s.Delete(0);
  s.Insert(1, "x");
  s.Exchange(0, 2);
  EXPECT_EQ(rec.ranges, (std::vector<TRange>{{1, 1}, {0, -1}, {1, -1}, {0, 2}}));
  EXPECT_EQ(s.Text(), "three\r\nx\r\nTWO");
  EXPECT_EQ(rec.changing, rec.changed);
}

TEST(BMStrings, InsideAnUpdateEachOperationIsAnnouncedByTheNextOne) {
  TBMStrings s;
  s.SetText("a\r\nb\r\nc\r\nd");
  TRecorder rec(s);
  s.BeginUpdate();
  EXPECT_EQ(rec.changing, 1);
  s.Put(2, "C");
  EXPECT_TRUE(rec.ranges.empty());
  s.Put(1, "B");  // announces 2..2 from inside its own base operation
  EXPECT_EQ(rec.ranges, (std::vector<TRange>{{2, 2}}));
  s.Exchange(0, 3);  // only its own two ranges merge: 0..3
  s.EndUpdate();
  EXPECT_EQ(rec.ranges, (std::vector<TRange>{{2, 2}, {1, 1}, {0, 3}}));
  EXPECT_EQ(rec.changing, 1);
  EXPECT_EQ(rec.changed, 1);
}

TEST(BMStrings, WholeTextAssignmentAnnouncesWholeTextThenEachLine) {
  TBMStrings s;
  s.Add("old");
  TRecorder rec(s);
  s.SetText("a\r\nbb\r\nccc");
  EXPECT_EQ(rec.ranges, (std::vector<TRange>{{-1, -1}, {0, -1}, {1, -1}, {-1, -1}}));
  EXPECT_EQ(s.MaxLineLength(), 3);
  EXPECT_EQ(rec.maxes.back(), 3);
}

TEST(BMStrings, MaxLineLengthGrowsUntilClearedAndIsAnnouncedOnce) {
  TBMStrings s;
  TRecorder rec(s);
  s.Add("12345");
  s.Put(0, "1");
  s.Add("123");
  EXPECT_EQ(s.MaxLineLength(), 5);
  EXPECT_EQ(rec.maxes, (std::vector<int>{5}));
  s.Clear();
  EXPECT_EQ(s.MaxLineLength(), 0);
  EXPECT_EQ(rec.maxes, (std::vector<int>{5, 0}));
  s.SetMaxLineLength(9);  // no update open: at once
  EXPECT_EQ(rec.maxes.back(), 9);
}

TEST(BMStrings, PendingRangeMergeRule) {
  const int kNone = TBMStrings::kNothingPending;
  const struct {
    TRange pending, added, want;
  } cases[] = {
      {{kNone, kNone}, {3, 4}, {3, 4}},   // nothing pending: taken as it is
      {{-1, -1}, {2, 3}, {-1, -1}},       // the whole text absorbs everything
      {{2, 5}, {1, 3}, {1, 5}},           // smaller first, larger last
      {{2, 5}, {-1, 3}, {-1, 5}},         // a whole text wins
      {{2, -1}, {4, 6}, {2, -1}},         // to the end stays to the end
      {{2, 5}, {4, -1}, {2, -1}},         // and wins
      {{3, 4}, {-5, 2}, {0, 4}},          // a first below -1 counts as 0
      {{1, 2}, {3, 99}, {1, -1}},         // a last beyond the text: to the end
  };
  for (const auto& c : cases) {
    int first = c.pending.first, last = c.pending.second;
    MergeChangedRange(first, last, c.added.first, c.added.second, 10);
    EXPECT_EQ(TRange(first, last), c.want) << c.pending.first << ".." << c.pending.second << " + "
                                           << c.added.first << ".." << c.added.second;
  }
  // Only the two ranges of one Exchange are merged before they are announced.
  TBMStrings s;
  s.SetText("0\r\n1\r\n2\r\n3\r\n4\r\n5");
  TRecorder rec(s);
  s.Exchange(4, 1);
  EXPECT_EQ(rec.ranges, (std::vector<TRange>{{1, 4}}));
}

TEST(BMStrings, TextReadsWithoutTrailingBreak) {
  const struct {
    std::vector<std::string> lines;
    std::string text;
  } cases[] = {
      {{}, ""},
      {{"a"}, "a"},
      {{"a", "b"}, "a\r\nb"},
      {{"a", ""}, "a\r\n"},  // only one trailing break is removed
      {{""}, ""},
  };
  for (const auto& c : cases) {
    TBMStrings s;
    s.Assign(c.lines);
    EXPECT_EQ(s.Text(), c.text);
  }
}

TEST(BMStrings, SetTextSplitsAtEveryKindOfBreakAndKeepsOtherBytes) {
  const struct {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\n", {"a"}},
      {"a\r\n\r\n", {"a", ""}},
      {"a\rb\nc\r\nd", {"a", "b", "c", "d"}},
      {"a\n\rb", {"a", "", "b"}},
      {"\r", {""}},
      {std::string("x\0y\r\n\xF0\xF7", 7), {std::string("x\0y", 3), "\xF0\xF7"}},
  };
  for (const auto& c : cases) {
    TBMStrings s;
    s.SetText(c.text);
    EXPECT_EQ(s.Lines(), c.lines) << testing::PrintToString(c.text);
  }
}

TEST(BMStrings, IndexErrorsRaise) {
  TBMStrings s;
  EXPECT_THROW(s.Get(0), EStringListError);
  EXPECT_THROW(s.Put(0, "x"), EStringListError);
  EXPECT_THROW(s.Insert(1, "x"), EStringListError);
  EXPECT_EQ(s.UpdateCount(), 0);
}

}  // namespace
}  // namespace kalvex
