// `TComTermBuffer`: the character cells and tab stops of one terminal control.
//
// Coordinates are 1-based: column 1..Columns, row 1..Rows. `Init` takes the owner's current
// Columns and Rows and keeps them as the buffer's own dimensions until the next `Init`; every
// operation checks its coordinates against them, so no caller can reach outside the cells. A
// buffer never initialised has no cells: it reads as empty and ignores writes.
//
// The scroll and erase operations tell the owner which part of its window to repaint. Not
// thread-safe: the buffer belongs to the terminal's window thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace comport {

// A colour as the class library stores it: 0x00BBGGRR.
using TColor = uint32_t;

struct TComTermChar {
  char Ch = 0;  // 0: an empty cell, not drawn
  TColor FrontColor = 0;
  TColor BackColor = 0;
  bool Underline = false;
  friend bool operator==(const TComTermChar&, const TComTermChar&) = default;
};

// An inclusive rectangle of cells (columns Left..Right, rows Top..Bottom).
struct TCellRect {
  int32_t Left = 1;
  int32_t Top = 1;
  int32_t Right = 1;
  int32_t Bottom = 1;
};

// The terminal as its buffer sees it.
class TComTermBufferOwner {
 public:
  virtual int32_t Columns() const = 0;
  virtual int32_t Rows() const = 0;
  // The whole screen moved by `dy` rows (-1: up, +1: down); repaint accordingly.
  virtual void BufferScrolled(int32_t dy) = 0;
  // Repaint the given cells.
  virtual void InvalidatePortion(const TCellRect& cells) = 0;

 protected:
  ~TComTermBufferOwner() = default;
};

class TComTermBuffer {
 public:
  // Stores the owner (not owned); allocates nothing.
  explicit TComTermBuffer(TComTermBufferOwner* owner) : owner_(owner) {}
  TComTermBuffer(const TComTermBuffer&) = delete;
  TComTermBuffer& operator=(const TComTermBuffer&) = delete;

  // Drops all content; allocates the owner's Columns x Rows empty cells (each dimension at
  // least 1) and tab stops at column 1 and every 8th column after it.
  void Init();
  bool Initialized() const { return !cells_.empty(); }
  int32_t Columns() const { return columns_; }
  int32_t Rows() const { return rows_; }

  // A cell outside the buffer is ignored (set) or read as an empty cell (get).
  void SetChar(int32_t x, int32_t y, const TComTermChar& cell);
  TComTermChar GetChar(int32_t x, int32_t y) const;
  // A column outside the buffer has no tab stop and takes none.
  bool GetTab(int32_t x) const;
  void SetTab(int32_t x, bool on);
  // The first column at or after `x` that has a tab stop; 0 when none.
  int32_t NextTab(int32_t x) const;
  void ClearAllTabs();
  // The highest column of row `y` that is not empty; 0 for an empty row or a row outside.
  int32_t GetLineLength(int32_t y) const;
  // The highest row that is not empty; 0 for an empty buffer.
  int32_t GetLastLine() const;

  // Rows 2..Rows move up one row; the last row is emptied.
  void ScrollDown();
  // Rows 1..Rows-1 move down one row; row 1 is emptied.
  void ScrollUp();
  // Empties row `y` from column `x` (below 1: from column 1) to its end.
  void EraseLine(int32_t x, int32_t y);
  // Empties from (x, y) to the end of the buffer.
  void EraseScreen(int32_t x, int32_t y);

 private:
  bool Contains(int32_t x, int32_t y) const {
    return x >= 1 && x <= columns_ && y >= 1 && y <= rows_;
  }
  std::size_t Index(int32_t x, int32_t y) const {
    return static_cast<std::size_t>(y - 1) * static_cast<std::size_t>(columns_) + static_cast<std::size_t>(x - 1);
  }
  // Empties the cells of row `y` from column `x` on (both inside the buffer).
  void ClearFrom(int32_t x, int32_t y, std::size_t count);

  TComTermBufferOwner* owner_;  // not owned
  std::vector<TComTermChar> cells_;
  std::vector<bool> tabs_;
  int32_t columns_ = 0;
  int32_t rows_ = 0;
};

}  // namespace comport
