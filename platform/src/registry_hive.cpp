#include "registry_hive.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace plat::hive {
namespace {

constexpr std::string_view kStringTag = "string";
constexpr std::string_view kDwordTag = "dword";
constexpr size_t kMaxDwordDigits = 8;
constexpr char kSeparator = '\\';
constexpr const char* kHeader = "; DRAL registry hive. Written by the programs; see registry.h.\n";

char FoldAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

}  // namespace

// ---- names -------------------------------------------------------------------------------------

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

bool IsSameOrAncestor(std::string_view ancestor, std::string_view path) {
  if (ancestor.empty()) return true;
  if (path.size() < ancestor.size()) return false;
  if (!SameName(ancestor, path.substr(0, ancestor.size()))) return false;
  return path.size() == ancestor.size() || path[ancestor.size()] == kSeparator;
}

bool NormalisePath(std::string_view in, std::string* out) {
  if (!in.empty() && in.front() == kSeparator) in.remove_prefix(1);
  if (!in.empty() && in.back() == kSeparator) in.remove_suffix(1);
  size_t start = 0;
  while (!in.empty() && start <= in.size()) {
    size_t end = in.find(kSeparator, start);
    if (end == std::string_view::npos) end = in.size();
    std::string_view part = in.substr(start, end - start);
    if (part.empty() || part.size() > kMaxKeyNameBytes) return false;
    for (unsigned char c : part) {
      if (IsControl(c)) return false;
    }
    start = end + 1;
  }
  out->assign(in);
  return true;
}

bool ValidValueName(std::string_view name) {
  return name.size() <= kMaxValueNameBytes && name.find('\0') == std::string_view::npos;
}

namespace {

// ---- escapes -----------------------------------------------------------------------------------

constexpr char kHexDigits[] = "0123456789abcdef";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendEscaped(std::string_view in, bool isName, std::string* out) {
  for (char ch : in) {
    const auto c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '\\':
        *out += "\\\\";
        continue;
      case '\n':
        *out += "\\n";
        continue;
      case '\r':
        *out += "\\r";
        continue;
      case '\t':
        *out += "\\t";
        continue;
      default:
        break;
    }
    // In a name, "=" would end it and "[", ";", "#" could make the line look like a key or a
    // comment.
    const bool special = isName && (ch == '=' || ch == '[' || ch == ';' || ch == '#');
    if (IsControl(c) || special) {
      *out += "\\x";
      *out += kHexDigits[c >> 4];
      *out += kHexDigits[c & 0xF];
    } else {
      *out += ch;
    }
  }
}

bool Unescape(std::string_view in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      *out += in[i];
      continue;
    }
    if (++i == in.size()) return false;
    switch (in[i]) {
      case '\\':
        *out += '\\';
        break;
      case 'n':
        *out += '\n';
        break;
      case 'r':
        *out += '\r';
        break;
      case 't':
        *out += '\t';
        break;
      case 'x': {
        if (in.size() - i < 3) return false;  // "x" and two digits
        const int hi = HexValue(in[i + 1]);
        const int lo = HexValue(in[i + 2]);
        if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return false;
        *out += static_cast<char>(hi << 4 | lo);
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

// ---- the hive in memory ------------------------------------------------------------------------

Key* FindKey(HiveData& data, std::string_view path) {
  for (Key& k : data.keys) {
    if (SameName(k.path, path)) return &k;
  }
  return nullptr;
}

const Key* FindKey(const HiveData& data, std::string_view path) {
  return FindKey(const_cast<HiveData&>(data), path);
}

Key& FindOrAddKey(HiveData& data, std::string_view path) {
  if (Key* k = FindKey(data, path)) return *k;
  data.keys.push_back(Key{std::string(path), {}});
  return data.keys.back();
}

bool KeyExistsIn(const HiveData& data, std::string_view path) {
  return std::any_of(data.keys.begin(), data.keys.end(),
                     [&](const Key& k) { return IsSameOrAncestor(path, k.path); });
}

const Value* FindValue(const Key& key, std::string_view name) {
  for (const Value& v : key.values) {
    if (SameName(v.name, name)) return &v;
  }
  return nullptr;
}

bool SetValue(Key& key, Value value) {
  for (Value& v : key.values) {
    if (!SameName(v.name, value.name)) continue;
    if (v.type == value.type && v.text == value.text && v.dword == value.dword) return false;
    v.type = value.type;
    v.text = std::move(value.text);
    v.dword = value.dword;
    return true;
  }
  key.values.push_back(std::move(value));
  return true;
}

// ---- text form ---------------------------------------------------------------------------------

void AppendValueLine(const Value& v, std::string* out) {
  AppendEscaped(v.name, true, out);
  *out += '=';
  if (v.type == RegType::String) {
    *out += kStringTag;
    *out += ':';
    AppendEscaped(v.text, false, out);
  } else {
    char digits[kMaxDwordDigits + 1];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(v.dword));
    *out += kDwordTag;
    *out += ':';
    *out += digits;
  }
  *out += '\n';
}

std::string Serialise(const HiveData& data) {
  std::string out = kHeader;
  for (const Key& k : data.keys) {
    out += "\n[";
    out += k.path;
    out += "]\n";
    for (const Value& v : k.values) AppendValueLine(v, &out);
  }
  return out;
}

namespace {

bool ParseDword(std::string_view digits, uint32_t* out) {
  if (digits.empty() || digits.size() > kMaxDwordDigits) return false;
  uint32_t value = 0;
  for (char c : digits) {
    const int d = HexValue(c);
    if (d < 0) return false;
    value = value << 4 | static_cast<uint32_t>(d);
  }
  *out = value;
  return true;
}

bool ParseValueLine(std::string_view line, Value* out) {
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  if (!Unescape(line.substr(0, eq), &out->name) || !ValidValueName(out->name)) return false;
  std::string_view rest = line.substr(eq + 1);
  const size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view tag = rest.substr(0, colon);
  const std::string_view data = rest.substr(colon + 1);
  if (SameName(tag, kStringTag)) {
    out->type = RegType::String;
    return Unescape(data, &out->text);
  }
  if (SameName(tag, kDwordTag)) {
    out->type = RegType::Dword;
    return ParseDword(data, &out->dword);
  }
  return false;
}

}  // namespace

size_t Parse(std::string_view text, HiveData* data, Damage* damage) {
  Key* current = nullptr;
  size_t lineNo = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    ++lineNo;
    const size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {  // cut off: the writer ends every line
      damage->Note(lineNo);
      break;
    }
    std::string_view line = text.substr(pos, nl - pos);
    pos = nl + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    if (line.front() == ';' || line.front() == '#') continue;
    const bool isKey = line.front() == '[';
    const bool junk =
        line.size() > kMaxLineBytes || std::any_of(line.begin(), line.end(), [](char c) {
          return c != '\t' && IsControl(static_cast<unsigned char>(c));
        });
    if (isKey) {
      // Values after a key that cannot be read belong to no key we know: skip them too.
      current = nullptr;
      std::string path;
      if (junk || line.back() != ']' || !NormalisePath(line.substr(1, line.size() - 2), &path)) {
        damage->Note(lineNo);
        continue;
      }
      current = &FindOrAddKey(*data, path);
      continue;
    }
    Value value;
    if (junk || current == nullptr || !ParseValueLine(line, &value)) {
      damage->Note(lineNo);
      continue;
    }
    SetValue(*current, std::move(value));
  }
  return lineNo;
}

}  // namespace plat::hive
