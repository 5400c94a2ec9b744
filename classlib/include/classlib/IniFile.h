// TIniFile: the class library's settings file of sections and "key=value" lines.
#pragma once

#include <cstdint>
#include <string>

#include "classlib/exception.h"

namespace cls {

// Raised by TIniFile when a write cannot be done.
class EIniFileException : public Exception {
 public:
  using Exception::Exception;
};

// A settings file named by the caller (a relative name is taken from the working directory).
//
// Format: "[Section]" lines open a section; "Key=Value" lines (or "Key:Value") in a section hold
// values; lines starting with ";" or "#" are comments. Section and key names compare without
// regard to ASCII case; blanks around names and values are ignored. The value is everything after
// the separator up to the end of the line: ";" and "#" inside a value are part of it, not
// comments. A section may appear more than once (its keys count as one section, the first key of
// a name wins). Lines may end in "\r\n". A line that is no section, key or comment is ignored.
//
// Nothing is cached: every read reads the file afresh, every write reads it, changes one line
// (or adds a key at the end of its section, or the section at the end of the file) and replaces
// the file at once. Everything else in the file, comments and unknown lines included, is kept as
// it was. The replacement is atomic (a reader sees the old or the new file, never a part), keeps
// the file's mode and follows a symbolic link to the file it names. Writers of one file in
// several threads or processes at once are not serialised: each write is whole, but one of two
// concurrent writes may be lost.
//
// Reads never fail: a missing file, section or key, an unreadable file, or a name that no file
// line can hold (see below) gives the default. Only the first kMaxFileBytes of a file are read.
//
// Names: a section name may be empty; a key name may not. Neither may be longer than
// kMaxNameBytes, hold a control character or ";", nor begin or end with a blank; a section name
// may not hold "]"; a key name may not hold "=" or ":" nor begin with "[" or "#". Values may hold
// any byte but line breaks and NUL.
//
// An object is not shared between threads; objects on the same file may be used anywhere.
class TIniFile {
 public:
  static constexpr size_t kMaxNameBytes = 128;
  static constexpr size_t kMaxFileBytes = 1 << 20;

  explicit TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}
  const std::string& FileName() const { return fileName_; }

  // The value of the key, or `defaultValue` when there is none.
  std::string ReadString(const std::string& section, const std::string& ident,
                         const std::string& defaultValue) const;
  // The value as an integer (cls::TryStrToInt: decimal, "$" or "0x" hexadecimal), or
  // `defaultValue` when the key is missing or holds no integer.
  int32_t ReadInteger(const std::string& section, const std::string& ident,
                      int32_t defaultValue) const;

  // Stores the value, creating the file, the section and the key as needed. Raises
  // EIniFileException for a name or value that the file cannot hold, for a file larger than
  // kMaxFileBytes (it is left unchanged), and when the file cannot be read or replaced.
  void WriteString(const std::string& section, const std::string& ident, const std::string& value);
  // Stores the decimal text of the value.
  void WriteInteger(const std::string& section, const std::string& ident, int32_t value);

 private:
  std::string fileName_;
};

}  // namespace cls
