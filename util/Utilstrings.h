#pragma once

#include <string>
#include <string_view>

// Replaces every occurrence of oldText in text by newText, searching again
// from the start after each replacement. An empty oldText changes nothing;
// newText must not contain oldText.
void ReplaceAll(std::string& text, std::string_view oldText, std::string_view newText);

// The last character as a text of one character; empty for an empty text.
std::string LastChar(std::string_view text);

// The extension of a path: from the last dot after the last separator to the
// end, dot included; empty when there is no such dot.
std::string ExtractFileExt(std::string_view path);
