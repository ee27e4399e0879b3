#include "cli/ui_language.h"

#include "support/win32.h"

namespace cli {

Language UserLanguage() {
    const LANGID language = ::GetUserDefaultUILanguage();
    if (PRIMARYLANGID(language) != LANG_CHINESE)
        return Language::English;
    // Simplified: the People's Republic and Singapore; Taiwan, Hong Kong and Macao read Traditional.
    const WORD sub = SUBLANGID(language);
    return sub == SUBLANG_CHINESE_SIMPLIFIED || sub == SUBLANG_CHINESE_SINGAPORE ? Language::SimplifiedChinese
                                                                                 : Language::English;
}

} // namespace cli
