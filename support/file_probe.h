#pragma once
// Does a directory hold an ordinary file of a given name, as the Windows file system decides it?
#include <filesystem>
#include <optional>
#include <string>

namespace file_probe {

// True when `directory` holds a regular file (links followed) named `name`, letter case ignored.
// On Windows, hidden and system files do not count.
bool OrdinaryFileExists(const std::filesystem::path& directory, const std::u16string& name);

// The entry of `directory` whose name equals `name` ignoring case, preferring an exact match.
std::optional<std::filesystem::path> FindEntryIgnoringCase(const std::filesystem::path& directory,
                                                           const std::u16string& name);

} // namespace file_probe
