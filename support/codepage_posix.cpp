#include "support/codepage.h"

#include <unicode/ucnv.h>

namespace codepage {

std::u16string AnsiBytesToString(std::string_view bytes) {
    if (bytes.empty())
        return {};
    UErrorCode status = U_ZERO_ERROR;
    // ICU's table for Windows code page 936; glibc's GBK and GB18030 differ from it in a few bytes.
    UConverter* converter = ucnv_open("windows-936-2000", &status);
    if (U_FAILURE(status) || converter == nullptr)
        return std::u16string(bytes.size(), u'\uFFFD');
    std::u16string text(bytes.size(), u'\0');
    status = U_ZERO_ERROR;
    const int32_t length = ucnv_toUChars(converter, text.data(), static_cast<int32_t>(text.size()), bytes.data(),
                                         static_cast<int32_t>(bytes.size()), &status);
    ucnv_close(converter);
    if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING)
        return std::u16string(bytes.size(), u'\uFFFD');
    text.resize(static_cast<std::size_t>(length));
    return text;
}

} // namespace codepage
