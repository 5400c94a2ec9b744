#include "classlib/Registry.h"

#include <exception>

namespace cls {
namespace {

constexpr char kSeparator = '\\';

constexpr const char* kNoKey = "no key is open";

[[noreturn]] void Raise(const char* what, const std::string& name, const char* reason) {
  throw ERegistryException(Format("%s registry value '%s': %s", what, name.c_str(), reason));
}

[[noreturn]] void Raise(const char* what, const std::string& name, plat::RegStatus status) {
  Raise(what, name, plat::RegStatusText(status));
}

}  // namespace

void TRegistry::SetRootKey(HKEY root) {
  if (root == root_) return;
  CloseKey();
  root_ = root;
}

std::optional<plat::Hive> TRegistry::HiveOfRoot() const {
  switch (root_) {
    case HKEY_CURRENT_USER:
      return plat::Hive::CurrentUser;
    case HKEY_LOCAL_MACHINE:
      return plat::Hive::LocalMachine;
  }
  return std::nullopt;
}

std::string TRegistry::Resolve(const std::string& key) const {
  const bool relative = key.empty() || key.front() != kSeparator;
  if (!relative || !current_) return key;
  if (current_->Path().empty()) return key;
  if (key.empty()) return current_->Path();
  return current_->Path() + kSeparator + key;
}

bool TRegistry::Open(const std::string& key, bool canCreate, plat::RegAccess access) {
  const std::optional<plat::Hive> hive = HiveOfRoot();
  if (!hive) return false;
  const std::string path = Resolve(key);
  std::optional<plat::RegKey> opened =
      canCreate ? plat::RegKey::Create(*hive, path) : plat::RegKey::Open(*hive, path, access);
  if (!opened) return false;
  current_ = std::move(opened);
  return true;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  return Open(key, canCreate, plat::RegAccess::ReadWrite);
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
  return Open(key, false, plat::RegAccess::Read);
}

void TRegistry::CloseKey() {
  current_.reset();
}

std::string TRegistry::CurrentPath() const {
  return current_ ? current_->Path() : std::string();
}

bool TRegistry::KeyExists(const std::string& key) const {
  const std::optional<plat::Hive> hive = HiveOfRoot();
  return hive && plat::KeyExists(*hive, Resolve(key));
}

bool TRegistry::ValueExists(const std::string& name) const {
  return current_ && current_->ValueType(name).has_value();
}

void TRegistry::GetValueNames(std::vector<std::string>& names) const {
  names.clear();
  if (current_) (void)current_->ValueNames(&names);
}

std::string TRegistry::ReadString(const std::string& name) const {
  std::string value;
  if (!current_) return value;
  const plat::RegStatus status = current_->ReadString(name, &value);
  if (status != plat::RegStatus::Ok && status != plat::RegStatus::NotFound) {
    Raise("Cannot read", name, status);
  }
  return value;
}

int32_t TRegistry::ReadInteger(const std::string& name) const {
  if (!current_) Raise("Cannot read", name, kNoKey);
  uint32_t value = 0;
  const plat::RegStatus status = current_->ReadDword(name, &value);
  if (status != plat::RegStatus::Ok) Raise("Cannot read", name, status);
  return static_cast<int32_t>(value);
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  if (!current_) Raise("Cannot write", name, kNoKey);
  const plat::RegStatus status = current_->WriteString(name, value);
  if (status != plat::RegStatus::Ok) Raise("Cannot write", name, status);
}

void TRegistry::WriteInteger(const std::string& name, int32_t value) {
  if (!current_) Raise("Cannot write", name, kNoKey);
  const plat::RegStatus status = current_->WriteDword(name, static_cast<uint32_t>(value));
  if (status != plat::RegStatus::Ok) Raise("Cannot write", name, status);
}

bool TRegistry::DeleteValue(const std::string& name) {
  return current_ && current_->DeleteValue(name) == plat::RegStatus::Ok;
}

std::optional<int32_t> ReadIntegerIfPresent(const TRegistry& reg, const std::string& name) {
  try {
    if (reg.ValueExists(name)) return reg.ReadInteger(name);
  } catch (const std::exception&) {
    // Of the other type or unreadable: as if absent.
  }
  return std::nullopt;
}

std::optional<std::string> ReadStringIfPresent(const TRegistry& reg, const std::string& name) {
  try {
    if (reg.ValueExists(name)) return reg.ReadString(name);
  } catch (const std::exception&) {
    // Of the other type or unreadable: as if absent.
  }
  return std::nullopt;
}

}  // namespace cls
