#include "support/text_path.h"

// Windows paths are UTF-16 already; the units pass through unchanged.
std::filesystem::path PathFromText(std::u16string_view text) {
    return std::filesystem::path(std::wstring(text.begin(), text.end()));
}

std::u16string TextFromPath(const std::filesystem::path& path) {
    const std::wstring& native = path.native();
    return std::u16string(native.begin(), native.end());
}
