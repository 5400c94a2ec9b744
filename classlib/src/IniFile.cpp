#include "classlib/IniFile.h"

#include <ini.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "classlib/SysUtils.h"
#include "plat/text_file.h"

// The file is split into lines here; inih tells which lines are keys. Lines are handed to it one
// at a time, stripped on the left (so inih never joins an indented line to the key before it) and
// cut to fit its line buffer. Section names, key names and values are all taken from the file's
// own lines, so neither inih's name limits (it cuts section names to 49 bytes) nor its inline
// comments ever shorten one.
namespace cls {
namespace {

constexpr mode_t kNewFileMode = 0666;  // less the umask, as any new file
constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kSpaces = " \t\n\v\f\r";  // what inih skips at the start of a line
constexpr std::string_view kSeparators = "=:";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Fed for a section line too long for inih: opens a section no valid name can match, so the
// keys under it are found under no other section.
constexpr std::string_view kUnreachableSection = "[\x01]";
constexpr char kCarriageReturn = '\r';

std::string_view Trim(std::string_view s, std::string_view chars) {
  const size_t first = s.find_first_not_of(chars);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(chars) - first + 1);
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

bool HasControl(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
  });
}

bool ValidName(std::string_view name, bool section) {
  if (name.size() > TIniFile::kMaxNameBytes || HasControl(name) || Trim(name, kBlanks) != name ||
      name.find(';') != std::string_view::npos) {
    return false;
  }
  if (section) return name.find(']') == std::string_view::npos;
  return !name.empty() && name.find_first_of(kSeparators) == std::string_view::npos &&
         name.front() != '[' && name.front() != '#';
}

bool ValidValue(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

struct KeyLine {
  std::string section;
  std::string name;
  size_t line;
};

struct SectionLine {
  std::string name;
  size_t line;
};

// The file as lines, and where its sections and keys are.
struct Document {
  std::string text;
  std::vector<std::string_view> lines;  // without "\n"; may end in "\r"
  std::vector<KeyLine> keys;
  std::vector<SectionLine> headers;
};

// What a line holds for the parser: up to a NUL, without "\r", the first line without its byte
// order mark, stripped on the left.
std::string_view Content(const Document& doc, size_t index) {
  std::string_view s = doc.lines[index];
  s = s.substr(0, s.find('\0'));
  if (!s.empty() && s.back() == kCarriageReturn) s.remove_suffix(1);
  if (index == 0 && s.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    s.remove_prefix(kByteOrderMark.size());
  }
  const size_t first = s.find_first_not_of(kSpaces);
  return first == std::string_view::npos ? std::string_view() : s.substr(first);
}

// The part of a line inih gets when the whole does not fit `limit` bytes: a section line up to
// its "]", a key line up to its separator (the value is read from the file's line), else nothing.
std::string_view Shortened(std::string_view line, size_t limit) {
  if (line.size() <= limit) return line;
  if (line.front() == '[') {
    const size_t close = line.find(']');
    return close != std::string_view::npos && close < limit ? line.substr(0, close + 1)
                                                            : kUnreachableSection;
  }
  const size_t sep = line.find_first_of(kSeparators);
  return sep != std::string_view::npos && sep < limit ? line.substr(0, sep + 1)
                                                      : std::string_view();
}

// The section a line opens by inih's rule ("[" up to the first "]", unless " ;" comes first).
std::optional<std::string> HeaderName(std::string_view line) {
  if (line.empty() || line.front() != '[') return std::nullopt;
  for (size_t i = 1; i < line.size(); ++i) {
    if (line[i] == ']') return std::string(line.substr(1, i - 1));
    if (line[i] == ';' && kSpaces.find(line[i - 1]) != std::string_view::npos) break;
  }
  return std::nullopt;
}

struct ParseState {
  Document* doc;
  size_t next = 0;     // the line to hand over next
  size_t current = 0;  // the line inih works on
};

char* ReadLine(char* str, int num, void* stream) {
  auto* state = static_cast<ParseState*>(stream);
  if (state->next >= state->doc->lines.size() || num < 2) return nullptr;
  state->current = state->next++;
  const std::string_view fed =
      Shortened(Content(*state->doc, state->current), static_cast<size_t>(num) - 1);
  if (!fed.empty()) std::memcpy(str, fed.data(), fed.size());
  str[fed.size()] = '\0';
  if (std::optional<std::string> header = HeaderName(fed)) {
    state->doc->headers.push_back({std::move(*header), state->current});
  }
  return str;
}

// The name of a key's line: before the separator, without the blanks after it (inih's rule).
std::string_view KeyNameOf(std::string_view line) {
  return Trim(line.substr(0, line.find_first_of(kSeparators)), kSpaces);
}

int OnKey(void* user, const char* /*section*/, const char* /*name*/, const char* /*value*/) {
  auto* state = static_cast<ParseState*>(user);
  Document& doc = *state->doc;
  // The section is the last header fed, named as the file spells it.
  std::string section = doc.headers.empty() ? std::string() : doc.headers.back().name;
  doc.keys.push_back(
      {std::move(section), std::string(KeyNameOf(Content(doc, state->current))), state->current});
  return 1;
}

void Parse(Document& doc) {
  std::string_view rest = doc.text;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    doc.lines.push_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  ParseState state{&doc};
  // Lines that are no section, key or comment count as errors for inih; they are only skipped.
  (void)ini_parse_stream(ReadLine, &state, OnKey, &state);
}

// The file that a write replaces: the target of a symbolic link, else the name itself.
std::string WriteTarget(const std::string& fileName) {
  std::error_code ec;
  if (std::filesystem::is_symlink(fileName, ec)) {
    const std::filesystem::path target = std::filesystem::canonical(fileName, ec);
    if (!ec) return target.string();
  }
  return fileName;
}

// Reads the file into `doc`; 0, or the errno of the failure (EFBIG for a file too large).
int Load(const std::string& fileName, Document& doc) {
  plat::UniqueFd fd;
  if (int error = plat::OpenRegularFile(fileName, &fd); error != 0) return error;
  if (fd) {
    bool cutOff = false;
    if (int error = plat::ReadBounded(fd.Get(), TIniFile::kMaxFileBytes, &doc.text, &cutOff)) {
      return error;
    }
    if (cutOff) {
      Parse(doc);
      return EFBIG;
    }
  }
  Parse(doc);
  return 0;
}

const KeyLine* FindKey(const Document& doc, std::string_view section, std::string_view ident) {
  for (const KeyLine& key : doc.keys) {
    if (SameName(Trim(key.section, kBlanks), section) && SameName(key.name, ident)) return &key;
  }
  return nullptr;
}

// The value of a key's line: after the separator, without the blanks around it.
std::string_view ValueOf(const Document& doc, const KeyLine& key) {
  const std::string_view line = Content(doc, key.line);
  const size_t sep = line.find_first_of(kSeparators);
  return sep == std::string_view::npos ? std::string_view() : Trim(line.substr(sep + 1), kBlanks);
}

// The line after which a new key of the section goes: its last key, else its first header.
std::optional<size_t> InsertionPoint(const Document& doc, std::string_view section) {
  std::optional<size_t> last;
  for (const KeyLine& key : doc.keys) {
    if (SameName(Trim(key.section, kBlanks), section)) last = std::max(last.value_or(0), key.line);
  }
  if (last) return last;
  for (const SectionLine& header : doc.headers) {
    if (SameName(Trim(header.name, kBlanks), section)) return header.line;
  }
  return std::nullopt;
}

std::string ErrorText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

[[noreturn]] void RaiseWrite(const std::string& fileName, const char* reason) {
  throw EIniFileException(Format("Unable to write to %s: %s", fileName.c_str(), reason));
}

}  // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& ident,
                                 const std::string& defaultValue) const {
  if (!ValidName(section, true) || !ValidName(ident, false)) return defaultValue;
  Document doc;
  if (const int error = Load(fileName_, doc); error != 0 && error != EFBIG) return defaultValue;
  const KeyLine* key = FindKey(doc, section, ident);
  return key ? std::string(ValueOf(doc, *key)) : defaultValue;
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& ident,
                              int32_t defaultValue) const {
  return StrToIntDef(ReadString(section, ident, std::string()), defaultValue);
}

void TIniFile::WriteString(const std::string& section, const std::string& ident,
                           const std::string& value) {
  if (!ValidName(section, true)) RaiseWrite(fileName_, "invalid section name");
  if (!ValidName(ident, false)) RaiseWrite(fileName_, "invalid key name");
  if (!ValidValue(value)) RaiseWrite(fileName_, "the value holds a line break or NUL");
  const std::string target = WriteTarget(fileName_);
  Document doc;
  if (const int error = Load(target, doc); error != 0) {
    RaiseWrite(fileName_, ErrorText(error).c_str());
  }

  const bool crlf =
      !doc.lines.empty() && !doc.lines[0].empty() && doc.lines[0].back() == kCarriageReturn;
  const std::string eol = crlf ? "\r\n" : "\n";
  std::vector<std::string> added;  // lines to put in after line `after` (or at the end)
  std::optional<size_t> after;
  std::optional<size_t> replaced;
  std::string replacedName;  // the name as the file spells it
  if (const KeyLine* key = FindKey(doc, section, ident)) {
    replaced = key->line;
    replacedName = key->name;
  } else if ((after = InsertionPoint(doc, section))) {
    added.push_back(ident + "=" + value);
  } else {
    if (!doc.lines.empty() && !Content(doc, doc.lines.size() - 1).empty()) added.emplace_back();
    added.push_back("[" + section + "]");
    added.push_back(ident + "=" + value);
  }

  std::string text;
  text.reserve(doc.text.size() + ident.size() + value.size() + section.size() + 8);
  auto putAdded = [&] {
    for (const std::string& line : added) text += line + eol;
  };
  for (size_t i = 0; i < doc.lines.size(); ++i) {
    if (replaced == i) {
      text += replacedName + "=" + value + eol;
    } else {
      text += doc.lines[i];
      text += '\n';
    }
    if (after == i) putAdded();
  }
  if (!replaced && !after) putAdded();
  if (const int error = plat::ReplaceFile(target, std::string(), text, kNewFileMode)) {
    RaiseWrite(fileName_, ErrorText(error).c_str());
  }
}

void TIniFile::WriteInteger(const std::string& section, const std::string& ident, int32_t value) {
  WriteString(section, ident, std::to_string(value));
}

}  // namespace cls
