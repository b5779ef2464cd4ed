#pragma once

#include <functional>
#include <string>

// The one-line input prompt: a small modal dialog with a caption, a prompt
// text, one edit box holding value, OK and Cancel. True on OK, with the text
// as typed (empty included) in value; on Cancel value is left as it was.
bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value);

// A test answers the prompt in place of the user; an empty answer shows the
// real dialog again.
using TInputQueryAnswer = std::function<bool(const std::string& caption, const std::string& prompt, std::string& value)>;
void SetInputQueryAnswer(TInputQueryAnswer answer);
