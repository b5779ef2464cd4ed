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
//
// Windows names are 16-bit units, not always valid UTF-16. A lone surrogate
// outside that range becomes its three bytes of generalized UTF-8 (ED A0 80
// to ED BF BF, which no valid UTF-8 holds) and those bytes the same
// surrogate again, so such a name is listed with its odd bytes shown and
// still opens the file.
std::u16string Local8ToWide(std::string_view text);
std::string WideToLocal8(std::u16string_view text);
