#include "support/file_probe.h"

#include "support/text_path.h"

#include "support/win32.h"

namespace fs = std::filesystem;

namespace file_probe {

std::optional<fs::path> FindEntryIgnoringCase(const fs::path& directory, const std::u16string& name) {
    // The file system ignores case itself.
    const fs::path path = directory / PathFromText(name);
    std::error_code error;
    if (fs::exists(path, error))
        return path;
    return std::nullopt;
}

bool OrdinaryFileExists(const fs::path& directory, const std::u16string& name) {
    const fs::path path = directory / PathFromText(name);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    constexpr DWORD excluded = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    return (attributes & excluded) == 0;
}

} // namespace file_probe
