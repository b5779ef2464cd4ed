#include "platform/helper/Pkexec.h"

#include "runtime/SysUtils.h"

namespace {
// pkexec's exit codes: the question was dismissed; the user is not allowed,
// or no answer could be had at all.
constexpr int Dismissed = 126;
constexpr int NotAuthorised = 127;
} // namespace

std::string FirstWords(std::string_view said) {
    const std::string text = Trim(said);
    return Trim(std::string_view(text).substr(0, text.find_first_of("\r\n")));
}

std::string PkexecRefusal(int exitCode, std::string_view said) {
    if (exitCode != Dismissed && exitCode != NotAuthorised)
        return {};
    const std::string words = FirstWords(said);
    return exitCode == Dismissed || words.empty() ? "no administrator allowed it" : "pkexec could not run it: " + words;
}
