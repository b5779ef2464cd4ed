#pragma once

#include <string>
#include <string_view>

// Why a program run through pkexec did not run, from pkexec's exit code and
// what it wrote to its standard error: "no administrator allowed it" when
// the question was dismissed or nothing was said, else pkexec's own words
// ("pkexec could not run it: Error getting authority: …" when polkit's
// service is not running, "…: Not authorized" after a wrong password). Empty
// for an exit code that is not pkexec's own.
std::string PkexecRefusal(int exitCode, std::string_view said);

// The first line of what a program wrote to its standard error, trimmed;
// empty for none.
std::string FirstWords(std::string_view said);
