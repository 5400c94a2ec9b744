#include "comport/CPortTermBuffer.h"

#include <algorithm>

namespace comport {

namespace {
constexpr int32_t kTabWidth = 8;
}

void TComTermBuffer::Init() {
  columns_ = std::max<int32_t>(owner_->Columns(), 1);
  rows_ = std::max<int32_t>(owner_->Rows(), 1);
  cells_.assign(static_cast<size_t>(columns_) * static_cast<size_t>(rows_), TComTermChar{});
  tabs_.assign(static_cast<size_t>(columns_), false);
  for (int32_t x = 1; x <= columns_; x += kTabWidth) tabs_[static_cast<size_t>(x - 1)] = true;
}

void TComTermBuffer::SetChar(int32_t x, int32_t y, const TComTermChar& cell) {
  if (Contains(x, y)) cells_[Index(x, y)] = cell;
}

TComTermChar TComTermBuffer::GetChar(int32_t x, int32_t y) const {
  return Contains(x, y) ? cells_[Index(x, y)] : TComTermChar{};
}

bool TComTermBuffer::GetTab(int32_t x) const {
  return x >= 1 && x <= columns_ && tabs_[static_cast<size_t>(x - 1)];
}

void TComTermBuffer::SetTab(int32_t x, bool on) {
  if (x >= 1 && x <= columns_) tabs_[static_cast<size_t>(x - 1)] = on;
}

int32_t TComTermBuffer::NextTab(int32_t x) const {
  for (int32_t c = std::max<int32_t>(x, 1); c <= columns_; ++c) {
    if (tabs_[static_cast<size_t>(c - 1)]) return c;
  }
  return 0;
}

void TComTermBuffer::ClearAllTabs() {
  std::fill(tabs_.begin(), tabs_.end(), false);
}

int32_t TComTermBuffer::GetLineLength(int32_t y) const {
  if (y < 1 || y > rows_) return 0;
  for (int32_t x = columns_; x >= 1; --x) {
    if (cells_[Index(x, y)].Ch != 0) return x;
  }
  return 0;
}

int32_t TComTermBuffer::GetLastLine() const {
  for (int32_t y = rows_; y >= 1; --y) {
    if (GetLineLength(y) > 0) return y;
  }
  return 0;
}

void TComTermBuffer::ClearFrom(int32_t x, int32_t y, size_t count) {
  std::fill_n(cells_.begin() + static_cast<std::ptrdiff_t>(Index(x, y)), count, TComTermChar{});
}

void TComTermBuffer::ScrollDown() {
  if (!Initialized()) return;
  const auto row = static_cast<std::ptrdiff_t>(columns_);
  std::copy(cells_.begin() + row, cells_.end(), cells_.begin());
  ClearFrom(1, rows_, static_cast<size_t>(columns_));
  owner_->BufferScrolled(-1);
}

void TComTermBuffer::ScrollUp() {
  if (!Initialized()) return;
  const auto row = static_cast<std::ptrdiff_t>(columns_);
  std::copy_backward(cells_.begin(), cells_.end() - row, cells_.end());
  ClearFrom(1, 1, static_cast<size_t>(columns_));
  owner_->BufferScrolled(1);
}

void TComTermBuffer::EraseLine(int32_t x, int32_t y) {
  x = std::max<int32_t>(x, 1);
  if (!Contains(x, y)) return;
  ClearFrom(x, y, static_cast<size_t>(columns_ - x + 1));
  owner_->InvalidatePortion({x, y, columns_, y});
}

void TComTermBuffer::EraseScreen(int32_t x, int32_t y) {
  x = std::max<int32_t>(x, 1);
  if (!Contains(x, y)) return;
  ClearFrom(x, y, cells_.size() - Index(x, y));
  owner_->InvalidatePortion({x, y, columns_, y});
  if (y < rows_) owner_->InvalidatePortion({1, y + 1, columns_, rows_});
}

}  // namespace comport
