// The hive text format of the registry (see registry.h for the format): the hive in memory, its
// names, and reading and writing its text. Pure functions on strings; the files and their locks
// are registry_store's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "plat/registry.h"

namespace plat::hive {

struct Value {
  std::string name;
  RegType type = RegType::String;
  std::string text;
  uint32_t dword = 0;
};

struct Key {
  std::string path;
  std::vector<Value> values;
};

struct HiveData {
  std::vector<Key> keys;  // in file order
};

// The lines of a text that could not be read.
struct Damage {
  size_t lines = 0;
  size_t firstLine = 0;
  void Note(size_t lineNo) {
    if (lines++ == 0) firstLine = lineNo;
  }
};

// ---- names ----

// Names compare without regard to the case of ASCII letters.
bool SameName(std::string_view a, std::string_view b);
// True when `ancestor` names `path` itself or a key above it.
bool IsSameOrAncestor(std::string_view ancestor, std::string_view path);
// Strips one leading and one trailing separator and checks every component; false when a
// component is empty, too long or holds a control character.
bool NormalisePath(std::string_view in, std::string* out);
bool ValidValueName(std::string_view name);

// ---- the hive in memory ----

Key* FindKey(HiveData& data, std::string_view path);
const Key* FindKey(const HiveData& data, std::string_view path);
Key& FindOrAddKey(HiveData& data, std::string_view path);
// True when `path` was created or is an ancestor of a key that was.
bool KeyExistsIn(const HiveData& data, std::string_view path);
const Value* FindValue(const Key& key, std::string_view name);
// Adds or replaces the value of the same name; false when it was already so.
bool SetValue(Key& key, Value value);

// ---- text ----

// Appends the value's line, "\n" included.
void AppendValueLine(const Value& v, std::string* out);
std::string Serialise(const HiveData& data);
// Reads what it can into `data` and notes the lines it skips; a later duplicate of a value
// replaces the earlier one, as a write would. Returns the number of lines seen.
size_t Parse(std::string_view text, HiveData* data, Damage* damage);

}  // namespace plat::hive
