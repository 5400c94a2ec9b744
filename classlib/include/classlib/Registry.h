// TRegistry: the class library's registry object, over plat/registry.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "classlib/exception.h"
#include "plat/registry.h"

namespace cls {

// The two root keys the programs use (with the numbers they have always had).
enum HKEY : uint32_t {
  HKEY_CURRENT_USER = 0x80000001u,
  HKEY_LOCAL_MACHINE = 0x80000002u,
};

// Raised by TRegistry for a failed write and for an integer that cannot be read.
class ERegistryException : public Exception {
 public:
  using Exception::Exception;
};

// One registry object works on at most one open key ("current key") under its RootKey.
//
// Key paths: a path with a leading "\" is absolute (from RootKey); without it, it is relative to
// the current key when one is open, else absolute. A failed open leaves the current key as it was.
//
// Reads: a missing string (or no current key) reads as ""; a missing integer, a value of the other
// type, or no current key raises ERegistryException. Booleans are integers 0 and 1; any non-zero
// integer reads as true. Writes raise ERegistryException when no key is open, when the current key
// was opened with OpenKeyReadOnly, or when the store fails.
//
// An object is not shared between threads; different objects may be used on different threads
// and in different processes at once (see plat/registry.h).
class TRegistry {
 public:
  TRegistry() = default;
  ~TRegistry() = default;
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  HKEY RootKey() const { return root_; }
  // Closes the current key when the root changes. A value other than the two roots makes every
  // later open fail.
  void SetRootKey(HKEY root);

  // Opens `key` for reading and writing; with `canCreate` a missing key is created (with its
  // ancestors), without it a missing key fails. Returns whether the key is now current.
  bool OpenKey(const std::string& key, bool canCreate);
  // Opens an existing key for reading only.
  bool OpenKeyReadOnly(const std::string& key);
  void CloseKey();
  // The current key's path without a leading "\", "" when none is open (or at the root).
  std::string CurrentPath() const;
  bool HasCurrentKey() const { return current_.has_value(); }

  // Whether `key` (resolved as OpenKey would) exists. The current key does not change.
  bool KeyExists(const std::string& key) const;
  bool ValueExists(const std::string& name) const;
  // Replaces the contents of `names` with the current key's value names in stored order.
  void GetValueNames(std::vector<std::string>& names) const;

  std::string ReadString(const std::string& name) const;
  int32_t ReadInteger(const std::string& name) const;
  bool ReadBool(const std::string& name) const { return ReadInteger(name) != 0; }

  void WriteString(const std::string& name, const std::string& value);
  void WriteInteger(const std::string& name, int32_t value);
  void WriteBool(const std::string& name, bool value) { WriteInteger(name, value ? 1 : 0); }
  // Removes a value of the current key. False when it did not exist or could not be removed.
  bool DeleteValue(const std::string& name);

 private:
  std::optional<plat::Hive> HiveOfRoot() const;
  std::string Resolve(const std::string& key) const;
  bool Open(const std::string& key, bool canCreate, plat::RegAccess access);

  HKEY root_ = HKEY_CURRENT_USER;
  std::optional<plat::RegKey> current_;  // the open key; its access says whether it is read-only
};

// Reads of settings that fall back when a value cannot be used: the value `name` of `reg`'s
// current key, or nullopt when it is missing, of the other type or unreadable, or when no key is
// open. They never raise.
std::optional<int32_t> ReadIntegerIfPresent(const TRegistry& reg, const std::string& name);
std::optional<std::string> ReadStringIfPresent(const TRegistry& reg, const std::string& name);

}  // namespace cls
