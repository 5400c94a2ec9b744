// The palette page of the library's components.
#pragma once

namespace dral {
inline constexpr const char* kPalettePage = "Trevik";
}  // namespace dral
