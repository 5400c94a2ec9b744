// Debug output for developers.
#pragma once

#include <string>

namespace plat {

// Writes `text` and a newline to stderr when the environment variable DRAL_DEBUG is set;
// otherwise does nothing. Any thread may call it.
void OutputDebugString(const std::string& text);

}  // namespace plat
