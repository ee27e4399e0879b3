#include "archive/archive_name.h"

std::optional<std::string> ArchiveNameFromText(std::u16string_view address) {
    if (address.empty())
        return std::nullopt;
    std::string name;
    name.reserve(address.size());
    for (char16_t unit : address) {
        if (unit == 0 || unit > 0x7F)
            return std::nullopt;
        name.push_back(static_cast<char>(unit));
    }
    return name;
}
