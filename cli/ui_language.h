#pragma once
// The language the user reads, for the command line's human-readable texts. Simplified Chinese when
// the user's settings ask for it, else English.
// Linux: the first set of LC_ALL, LC_MESSAGES and LANG, read as text (this does not go through
// setlocale, so it works without the locale being installed): "zh_CN.UTF-8", "zh_SG", "zh_Hans_CN"
// and "zh" -> Simplified Chinese; "zh_TW.UTF-8", "en_US", "C" -> English.
// Windows: the user's UI language (GetUserDefaultUILanguage), Chinese with a simplified sublanguage.
#include "cli/messages.h"

#include <string_view>

namespace cli {

Language UserLanguage();

// The rule for one locale name as POSIX writes it (language[_territory][.codeset][@modifier]).
Language LanguageOfLocaleName(std::string_view name);

} // namespace cli
