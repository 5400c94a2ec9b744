// Debug output for developers.
#pragma once

#include <string>

namespace plat {

// Writes `text` and a newline to stderr when the environment variable DRAL_DEBUG is set;
// otherwise does nothing. Any thread may call it.
void OutputDebugString(const std::string& text);

// Where a program that this process starts should send its debug output: "" when DRAL_DEBUG
// is not set; its value when that names a file (it holds a '/'); else `defaultName`, which is
// taken relative to the current directory. Any thread may call it (it reads the environment).
std::string DebugOutputFile(const std::string& defaultName);

}  // namespace plat
