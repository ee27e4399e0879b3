#include "support/codepage.h"

#include "support/win32.h"

namespace codepage {

std::u16string AnsiBytesToString(std::string_view bytes) {
    if (bytes.empty())
        return {};
    const int size = static_cast<int>(bytes.size());
    std::wstring text(bytes.size(), L'\0');
    const int length = ::MultiByteToWideChar(936, 0, bytes.data(), size, text.data(), size);
    return std::u16string(text.begin(), text.begin() + (length > 0 ? length : 0));
}

} // namespace codepage
