#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// How a path is written where a person or a program reads lines: the
// change list, a saved list, the console's output. A Linux name may hold
// any byte but "/" and NUL, so a name could otherwise break a line in two,
// forge a line of its own, drive a terminal or look like another name.
//
// A path made only of printable characters is shown as it is. Any other
// path is shown whole between $' and ', the quoting the common shells
// read: \\ and \' for a backslash and a quotation mark, \a \b \t \n \v \f
// \r \e for those controls, and \xHH for every other byte of a control
// character (C0, DEL, C1), of a character that breaks or reorders a line
// (U+2028, U+2029, the direction marks and embeddings), of an invisible
// space (U+200B, U+FEFF) and of a sequence that is not UTF-8. A path that begins with $' is quoted too, so every
// shown path stands for exactly one path.
std::string ShownPath(std::string_view path);

// The path a shown path stands for, byte for byte. A text that is not a
// quoting ShownPath makes is taken as it stands.
std::string PathOfShown(std::string_view shown);

// A shown path in lines of at most width characters, for a hint that would
// otherwise run off the screen; a character is never cut.
std::string WrappedPath(std::string_view shown, size_t width);

// A message for a person with its control characters but the line breaks
// written as \xHH, so that no name in it can drive a terminal.
std::string ShownMessage(std::string_view message);
