#include "cli/ui_language.h"

#include <cstdlib>

namespace cli {

Language UserLanguage() {
    // POSIX's precedence: the first one set and not empty decides, even when it says English.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return LanguageOfLocaleName(value);
    }
    return Language::English;
}

} // namespace cli
