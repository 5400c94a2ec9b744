// Time-stamped diagnostic lines in plain text files. Each call opens, appends and closes the
// file by itself, so any thread may log at any time; lines of concurrent callers stay whole
// as far as the C library's appends allow.
#pragma once

#include <cstdint>
#include <string>

namespace cls {

// Appends "yyyy/mm/dd hh:nn:ss.zzz <text>\n" (local time) to `file`. True when the line was
// written; false when the file cannot be opened or written. Never throws.
bool AppendLog(const std::string& text, const std::string& file);

// Appends "R " (received) or "T " (sent), the length as at least two upper-case hex digits,
// " | ", then every byte as two hex digits and a blank, as one AppendLog line. False when
// AppendLog fails or the text cannot be built (null `data` with a non-zero length included).
// Never throws.
bool LogHexDump(const void* data, uint32_t length, bool received, const std::string& file);

// The two trace hooks of the links' diagnostic texts: each takes its text and does nothing
// with it. Any thread.
void DebugTrace(const std::string& text);
void DebugPrint(const char* text);

}  // namespace cls
