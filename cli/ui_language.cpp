#include "cli/ui_language.h"

#include <string>

namespace cli {

Language LanguageOfLocaleName(std::string_view name) {
    // The language and the script or territory, without codeset and modifier.
    const std::string_view base = name.substr(0, name.find_first_of(".@"));
    if (base == "zh")
        return Language::SimplifiedChinese;
    for (const std::string_view simplified : {"zh_CN", "zh_SG", "zh_Hans"}) {
        if (base.substr(0, simplified.size()) == simplified &&
            (base.size() == simplified.size() || base[simplified.size()] == '_'))
            return Language::SimplifiedChinese;
    }
    return Language::English;
}

} // namespace cli
