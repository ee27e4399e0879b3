#include "support/file_probe.h"

#include "support/text_compare.h"
#include "support/text_path.h"

namespace fs = std::filesystem;

namespace file_probe {

// Wine compares names ignoring case; ASCII folding covers the names we look for.
std::optional<fs::path> FindEntryIgnoringCase(const fs::path& directory, const std::u16string& name) {
    std::error_code error;
    const fs::path exact = directory / PathFromText(name);
    if (fs::exists(fs::symlink_status(exact, error)))
        return exact;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        if (EqualIgnoringAsciiCase(TextFromPath(it->path().filename()), name))
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
        if (EqualIgnoringAsciiCase(TextFromPath(it->path().filename()), name) &&
            fs::is_regular_file(it->path(), statError))
            return true;
    }
    return false;
}

} // namespace file_probe
