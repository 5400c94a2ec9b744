// String lists and byte streams of the class library.
#include <algorithm>
#include <cstring>
#include <string>

#include "classlib/Stream.h"
#include "classlib/Strings.h"
#include "classlib/exception.h"

namespace cls {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool LessText(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) {
                                        return static_cast<unsigned char>(Lower(x)) <
                                               static_cast<unsigned char>(Lower(y));
                                      });
}

void CheckIndex(int index, int count) {
  if (index < 0 || index >= count) throw Exception(Format("List index out of bounds (%d)", index));
}

}  // namespace

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

const std::string& TStrings::Strings(int index) const {
  CheckIndex(index, Count());
  return items_[static_cast<size_t>(index)];
}

int TStrings::Add(const std::string& s) {
  items_.push_back(s);
  return Count() - 1;
}

void TStrings::Insert(int index, const std::string& s) {
  if (index != Count()) CheckIndex(index, Count());
  items_.insert(items_.begin() + index, s);
}

void TStrings::Delete(int index) {
  CheckIndex(index, Count());
  items_.erase(items_.begin() + index);
}

int TStrings::IndexOf(const std::string& s) const {
  for (int i = 0; i < Count(); ++i)
    if (SameText(items_[static_cast<size_t>(i)], s)) return i;
  return -1;
}

void TStringList::Sort() { std::stable_sort(items_.begin(), items_.end(), LessText); }

int64_t TStream::Size() {
  const int64_t position = Seek(0, TSeekOrigin::soCurrent);
  const int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(position, TSeekOrigin::soBeginning);
  return size;
}

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || position_ >= data_.size()) return 0;
  const size_t n = std::min(static_cast<size_t>(count), data_.size() - position_);
  std::memcpy(buffer, data_.data() + position_, n);
  position_ += n;
  return static_cast<int32_t>(n);
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  const auto n = static_cast<size_t>(count);
  if (position_ + n > data_.size()) data_.resize(position_ + n);
  std::memcpy(data_.data() + position_, buffer, n);
  position_ += n;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  const auto size = static_cast<int64_t>(data_.size());
  int64_t base = 0;
  if (origin == TSeekOrigin::soCurrent) base = static_cast<int64_t>(position_);
  if (origin == TSeekOrigin::soEnd) base = size;
  // base lies in 0..size, so the clamped sum cannot overflow.
  const int64_t target = std::clamp<int64_t>(base + std::clamp<int64_t>(offset, -size, size), 0, size);
  position_ = static_cast<size_t>(target);
  return target;
}

void TMemoryStream::Clear() {
  data_.clear();
  position_ = 0;
}

}  // namespace cls
