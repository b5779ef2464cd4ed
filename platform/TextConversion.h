#pragma once

#include <string>
#include <string_view>

// File names cross from the change-notification layer to the program as
// 16-bit text and become 8-bit text (UTF-8) on the main thread.
//
// Linux names are bytes, not always valid UTF-8. A byte that is not part of
// a valid UTF-8 sequence travels as the lone surrogate U+DC80 + (byte - 0x80)
// and becomes the same byte again, so every name survives the round trip
// and the listed path still opens the file. Any other lone surrogate, which
// no valid text contains, becomes '?'.
std::u16string Local8ToWide(std::string_view text);
std::string WideToLocal8(std::u16string_view text);
