#include "support/file_probe.h"

#include "support/text_path.h"

namespace fs = std::filesystem;

namespace file_probe {
namespace {

// Wine compares names ignoring case per code unit; ASCII folding covers the names we look for.
bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z')
            x = static_cast<char16_t>(x + 32);
        if (y >= u'A' && y <= u'Z')
            y = static_cast<char16_t>(y + 32);
        if (x != y)
            return false;
    }
    return true;
}

} // namespace

std::optional<fs::path> FindEntryIgnoringCase(const fs::path& directory, const std::u16string& name) {
    std::error_code error;
    const fs::path exact = directory / PathFromText(name);
    if (fs::exists(fs::symlink_status(exact, error)))
        return exact;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        if (EqualIgnoringCase(TextFromPath(it->path().filename()), name))
            return it->path();
    }
    return std::nullopt;
}

bool OrdinaryFileExists(const fs::path& directory, const std::u16string& name) {
    std::error_code error;
    const fs::path exact = directory / PathFromText(name);
    if (fs::is_regular_file(exact, error))
        return true;
    // Another entry may differ only in case (war3.exe next to a directory named WAR3.EXE).
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        std::error_code statError;
        if (EqualIgnoringCase(TextFromPath(it->path().filename()), name) && fs::is_regular_file(it->path(), statError))
            return true;
    }
    return false;
}

} // namespace file_probe
