#include "plat/registry.h"

#include <algorithm>

#include "registry_hive.h"
#include "registry_store.h"

// The registry's keys and values over the hive text format (registry_hive) and the locked file
// store (registry_store).
namespace plat {
namespace {

using hive::AppendValueLine;
using hive::FindKey;
using hive::FindOrAddKey;
using hive::FindValue;
using hive::HiveData;
using hive::IsSameOrAncestor;
using hive::Key;
using hive::KeyExistsIn;
using hive::LoadHive;
using hive::ModifyHive;
using hive::NormalisePath;
using hive::SameName;
using hive::SetValue;
using hive::ValidValueName;
using hive::Value;

// ---- SERIALCOMM --------------------------------------------------------------------------------

bool IsSerialCommKey(Hive hive, std::string_view path) {
  return hive == Hive::LocalMachine && SameName(path, kSerialCommKey);
}

// The key to read from: the stored one, or for an empty SERIALCOMM the devices found now.
// Null when the key has no stored form and is not virtual.
const Key* ReadableKey(const HiveData& data, Hive hive, std::string_view path, Key* scratch) {
  const Key* stored = FindKey(data, path);
  if (!IsSerialCommKey(hive, path) || (stored && !stored->values.empty())) return stored;
  scratch->path = path;
  scratch->values.clear();
  for (SerialDeviceName& d : ProbeSerialDevices()) {
    scratch->values.push_back(Value{std::move(d.name), RegType::String, std::move(d.path), 0});
  }
  return scratch;
}

}  // namespace

const char* RegStatusText(RegStatus status) {
  switch (status) {
    case RegStatus::Ok:
      return "success";
    case RegStatus::NotFound:
      return "not found";
    case RegStatus::WrongType:
      return "value of another type";
    case RegStatus::InvalidArgument:
      return "invalid key path, value name or data";
    case RegStatus::AccessDenied:
      return "access denied";
    case RegStatus::TooLarge:
      return "value or hive too large";
    case RegStatus::Timeout:
      return "registry busy";
    case RegStatus::IoError:
      return "input/output error";
  }
  return "unknown error";
}

bool KeyExists(Hive hive, std::string_view path) {
  std::string norm;
  if (!NormalisePath(path, &norm)) return false;
  if (norm.empty()) return true;  // every hive has its root
  if (hive == Hive::LocalMachine && IsSameOrAncestor(norm, kSerialCommKey)) return true;
  HiveData data;
  return LoadHive(hive, &data) == RegStatus::Ok && KeyExistsIn(data, norm);
}

std::optional<RegKey> RegKey::Open(Hive hive, std::string_view path, RegAccess access,
                                   RegStatus* status) {
  RegStatus dummy;
  if (!status) status = &dummy;
  std::string norm;
  if (!NormalisePath(path, &norm)) {
    *status = RegStatus::InvalidArgument;
    return std::nullopt;
  }
  if (!KeyExists(hive, norm)) {
    *status = RegStatus::NotFound;
    return std::nullopt;
  }
  *status = RegStatus::Ok;
  return RegKey(hive, std::move(norm), access);
}

std::optional<RegKey> RegKey::Create(Hive hive, std::string_view path, RegStatus* status) {
  RegStatus dummy;
  if (!status) status = &dummy;
  std::string norm;
  if (!NormalisePath(path, &norm)) {
    *status = RegStatus::InvalidArgument;
    return std::nullopt;
  }
  // Only write when needed, so opening an existing key works where the hive is read-only.
  *status =
      KeyExists(hive, norm) ? RegStatus::Ok : ModifyHive(hive, [&](HiveData& data, bool* changed) {
        *changed = !KeyExistsIn(data, norm);
        if (*changed) FindOrAddKey(data, norm);
        return RegStatus::Ok;
      });
  if (*status != RegStatus::Ok) return std::nullopt;
  return RegKey(hive, std::move(norm), RegAccess::ReadWrite);
}

namespace {

// Finds the value as readers see it (SERIALCOMM included).
RegStatus ReadValue(Hive hive, const std::string& path, std::string_view name, Value* out) {
  HiveData data;
  if (RegStatus s = LoadHive(hive, &data); s != RegStatus::Ok) return s;
  Key scratch;
  const Key* key = ReadableKey(data, hive, path, &scratch);
  const Value* v = key ? FindValue(*key, name) : nullptr;
  if (!v) return RegStatus::NotFound;
  *out = *v;
  return RegStatus::Ok;
}

}  // namespace

RegStatus RegKey::ReadString(std::string_view name, std::string* out) const {
  Value v;
  if (RegStatus s = ReadValue(hive_, path_, name, &v); s != RegStatus::Ok) return s;
  if (v.type != RegType::String) return RegStatus::WrongType;
  *out = std::move(v.text);
  return RegStatus::Ok;
}

RegStatus RegKey::ReadDword(std::string_view name, uint32_t* out) const {
  Value v;
  if (RegStatus s = ReadValue(hive_, path_, name, &v); s != RegStatus::Ok) return s;
  if (v.type != RegType::Dword) return RegStatus::WrongType;
  *out = v.dword;
  return RegStatus::Ok;
}

std::optional<RegType> RegKey::ValueType(std::string_view name) const {
  Value v;
  if (ReadValue(hive_, path_, name, &v) != RegStatus::Ok) return std::nullopt;
  return v.type;
}

RegStatus RegKey::ValueNames(std::vector<std::string>* out) const {
  HiveData data;
  if (RegStatus s = LoadHive(hive_, &data); s != RegStatus::Ok) return s;
  Key scratch;
  const Key* key = ReadableKey(data, hive_, path_, &scratch);
  out->clear();
  if (key) {
    for (const Value& v : key->values) out->push_back(v.name);
  }
  return RegStatus::Ok;
}

namespace {

RegStatus WriteValue(Hive hive, const std::string& path, Value value) {
  std::string line;
  AppendValueLine(value, &line);
  if (line.size() > kMaxLineBytes) return RegStatus::TooLarge;
  return ModifyHive(hive, [&](HiveData& data, bool* changed) {
    // The key may have been lost to a damaged file since it was opened: create it again.
    *changed = SetValue(FindOrAddKey(data, path), std::move(value));
    return RegStatus::Ok;
  });
}

}  // namespace

RegStatus RegKey::WriteString(std::string_view name, std::string_view value) const {
  if (ReadOnly()) return RegStatus::AccessDenied;
  if (!ValidValueName(name) || value.find('\0') != std::string_view::npos) {
    return RegStatus::InvalidArgument;
  }
  return WriteValue(hive_, path_, Value{std::string(name), RegType::String, std::string(value), 0});
}

RegStatus RegKey::WriteDword(std::string_view name, uint32_t value) const {
  if (ReadOnly()) return RegStatus::AccessDenied;
  if (!ValidValueName(name)) return RegStatus::InvalidArgument;
  return WriteValue(hive_, path_, Value{std::string(name), RegType::Dword, {}, value});
}

RegStatus RegKey::DeleteValue(std::string_view name) const {
  if (ReadOnly()) return RegStatus::AccessDenied;
  if (!ValidValueName(name)) return RegStatus::InvalidArgument;
  return ModifyHive(hive_, [&](HiveData& data, bool* changed) {
    Key* key = FindKey(data, path_);
    if (!key) return RegStatus::NotFound;
    auto it = std::find_if(key->values.begin(), key->values.end(),
                           [&](const Value& v) { return SameName(v.name, name); });
    if (it == key->values.end()) return RegStatus::NotFound;
    key->values.erase(it);
    *changed = true;
    return RegStatus::Ok;
  });
}

}  // namespace plat
