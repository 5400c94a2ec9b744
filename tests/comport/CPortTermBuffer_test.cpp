#include "comport/CPortTermBuffer.h"

#include <gtest/gtest.h>

namespace comport {
namespace {

// An owner of a given size that records the repaints it is asked for.
class FakeOwner : public TComTermBufferOwner {
 public:
  FakeOwner(int32_t columns, int32_t rows) : columns_(columns), rows_(rows) {}
  int32_t Columns() const override { return columns_; }
  int32_t Rows() const override { return rows_; }
  void BufferScrolled(int32_t dy) override { scrolls.push_back(dy); }
  void InvalidatePortion(const TCellRect& cells) override { portions.push_back(cells); }
  int32_t columns_, rows_;
  std::vector<int32_t> scrolls;
  std::vector<TCellRect> portions;
};

TComTermChar Cell(char ch) {
  return TComTermChar{ch, 0xFFFFFF, 0, false};
}

// Row `y` as text, empty cells as '.'.
std::string Row(const TComTermBuffer& b, int32_t y) {
  std::string s;
  for (int32_t x = 1; x <= b.Columns(); ++x) s += b.GetChar(x, y).Ch ? b.GetChar(x, y).Ch : '.';
  return s;
}

TEST(ComTermBuffer, TabStopsEveryEighthColumn) {
  FakeOwner owner(80, 24);
  TComTermBuffer b(&owner);
  b.Init();
  EXPECT_TRUE(b.GetTab(1));
  EXPECT_TRUE(b.GetTab(73));
  EXPECT_FALSE(b.GetTab(80));
  EXPECT_EQ(b.NextTab(74), 0);
  EXPECT_EQ(b.NextTab(9), 9);
  EXPECT_EQ(b.NextTab(10), 17);
  b.ClearAllTabs();
  EXPECT_EQ(b.NextTab(1), 0);
}

TEST(ComTermBuffer, LineLengthCountsInnerEmptyCellsAndLastLineFindsTheLowestText) {
  FakeOwner owner(10, 4);
  TComTermBuffer b(&owner);
  b.Init();
  EXPECT_EQ(b.GetLastLine(), 0);
  b.SetChar(1, 2, Cell('A'));
  b.SetChar(3, 2, Cell('B'));
  EXPECT_EQ(b.GetLineLength(2), 3);
  EXPECT_EQ(b.GetLastLine(), 2);
}

TEST(ComTermBuffer, ScrollsMoveRowsAndEmptyTheUncoveredOne) {
  FakeOwner owner(3, 2);
  TComTermBuffer b(&owner);
  b.Init();
  b.SetChar(1, 1, Cell('a'));
  b.SetChar(3, 2, Cell('b'));
  b.ScrollDown();
  EXPECT_EQ(Row(b, 1), "..b");
  EXPECT_EQ(Row(b, 2), "...");
  b.ScrollUp();
  EXPECT_EQ(Row(b, 1), "...");
  EXPECT_EQ(Row(b, 2), "..b");
  EXPECT_EQ(owner.scrolls, (std::vector<int32_t>{-1, 1}));
}

TEST(ComTermBuffer, ErasesClearFromTheCellAndRepaintWhatTheyCleared) {
  FakeOwner owner(4, 3);
  TComTermBuffer b(&owner);
  b.Init();
  for (int32_t y = 1; y <= 3; ++y)
    for (int32_t x = 1; x <= 4; ++x) b.SetChar(x, y, Cell('x'));
  b.EraseLine(4, 1);
  EXPECT_EQ(Row(b, 1), "xxx.");
  ASSERT_EQ(owner.portions.size(), 1u);
  EXPECT_EQ(owner.portions[0].Left, 4);
  b.EraseScreen(3, 2);
  EXPECT_EQ(Row(b, 2), "xx..");
  EXPECT_EQ(Row(b, 3), "....");
  EXPECT_EQ(owner.portions.size(), 3u);
  b.EraseScreen(1, 1);
  EXPECT_EQ(b.GetLastLine(), 0);
}

TEST(ComTermBuffer, CoordinatesOutsideTheBufferTouchNothing) {
  FakeOwner owner(4, 2);
  TComTermBuffer never(&owner);
  EXPECT_EQ(never.GetChar(1, 1), TComTermChar{});
  never.SetChar(1, 1, Cell('a'));
  never.ScrollDown();
  never.EraseScreen(1, 1);
  EXPECT_EQ(never.GetLastLine(), 0);
  EXPECT_EQ(never.NextTab(1), 0);
  EXPECT_TRUE(owner.scrolls.empty() && owner.portions.empty());

  TComTermBuffer b(&owner);
  b.Init();
  for (auto [x, y] : {std::pair{0, 1}, {5, 1}, {1, 0}, {1, 3}, {-7, -7}}) b.SetChar(x, y, Cell('z'));
  EXPECT_EQ(b.GetLastLine(), 0);
  b.EraseLine(0, 1);
  b.EraseLine(1, 9);
  b.EraseScreen(9, 9);
  b.SetTab(99, true);
  EXPECT_FALSE(b.GetTab(99));
  // The buffer keeps the size of its last Init when the owner's size changes.
  owner.columns_ = 100;
  b.SetChar(100, 1, Cell('q'));
  EXPECT_EQ(b.Columns(), 4);
  EXPECT_EQ(b.GetLineLength(1), 0);
}

}  // namespace
}  // namespace comport
