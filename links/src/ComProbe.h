// Whether a serial port can be opened now (opened exclusively and closed at once). Kept apart
// from the registry side of the port list.
#pragma once

#include <string>

namespace dral {

bool ComPortOpens(const std::string& name);

}  // namespace dral
