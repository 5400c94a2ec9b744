// Text-to-number conversions of the class library.
#pragma once

#include <cstdint>
#include <string_view>

namespace cls {

// The class library's integer text: an optional sign followed by decimal digits, or by "$", "0x"
// or "0X" and hexadecimal digits. Decimal text must lie in the int32 range; hexadecimal text may
// have up to 8 significant digits, whose 32 bits are taken as they are ("$FFFFFFFF" is -1).
// Nothing else may precede or follow (no blanks). Returns false, leaving *value unchanged, for
// any other text.
bool TryStrToInt(std::string_view text, int32_t* value);

// TryStrToInt's value, or `defaultValue` when the text is no integer.
int32_t StrToIntDef(std::string_view text, int32_t defaultValue);

}  // namespace cls
