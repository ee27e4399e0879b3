#pragma once
// Small text rules shared by the readers of names, settings and paths.
#include <string>
#include <string_view>

// Equal when the texts differ at most in the case of ASCII letters: "War3.EXE" equals "war3.exe".
bool EqualIgnoringAsciiCase(std::u16string_view a, std::u16string_view b);

// Without leading and trailing blanks (U+0020 only; a tab or an ideographic space stays).
std::u16string TrimBlanks(std::u16string_view text);
