// The class library's string list: an ordered list of strings, as the components fill and read it.
#pragma once

#include <string>
#include <vector>

namespace cls {

class TStrings {
 public:
  virtual ~TStrings() = default;

  int Count() const { return static_cast<int>(items_.size()); }
  // The string at `index` (0-based); an index outside the list raises Exception.
  const std::string& Strings(int index) const;
  const std::string& operator[](int index) const { return Strings(index); }
  // Appends `s`; returns its index.
  int Add(const std::string& s);
  void Insert(int index, const std::string& s);
  void Delete(int index);
  void Clear() { items_.clear(); }
  // The first index of a string equal to `s` ignoring ASCII case, -1 when none is.
  int IndexOf(const std::string& s) const;
  void Assign(const TStrings& source) { items_ = source.items_; }
  const std::vector<std::string>& Items() const { return items_; }

 protected:
  std::vector<std::string> items_;
};

class TStringList : public TStrings {
 public:
  // Sorts ignoring ASCII case (equal strings keep their order).
  void Sort();
};

// Equal ignoring ASCII case (the class library's CompareText == 0).
bool SameText(const std::string& a, const std::string& b);

}  // namespace cls
