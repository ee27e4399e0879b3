#include "support/text_path.h"

#include "support/utf8_convert.h"

// Paths are built from bytes we convert ourselves: the standard library's own conversion throws on
// an unpaired surrogate, and nothing may throw out of the core.
std::filesystem::path PathFromText(std::u16string_view text) {
    return std::filesystem::path(modUtf8Convert::TextToUtf8(text));
}

std::u16string TextFromPath(const std::filesystem::path& path) {
    return modUtf8Convert::Utf8ToText(path.native());
}
