#include "support/public_vars.h"

#include "support/file_streams.h"
#include "support/ini_file.h"

namespace modPublicVars {

std::u16string GamePath;
std::u16string MpqName;

std::optional<std::filesystem::path> StartedThrough(std::string_view argv0,
                                                    const std::filesystem::path& workingDirectory,
                                                    std::string_view searchPath, const std::filesystem::path& self) {
    namespace fs = std::filesystem;
    std::error_code error;
    const auto isSelf = [&](const fs::path& candidate) {
        return fs::is_regular_file(candidate, error) && fs::equivalent(candidate, self, error) && !error;
    };
    if (argv0.empty())
        return std::nullopt;
    if (argv0.find('/') != std::string_view::npos) {
        const fs::path candidate = (workingDirectory / fs::path(argv0)).lexically_normal();
        if (isSelf(candidate))
            return candidate;
        return std::nullopt;
    }
    // The first PATH entry holding an executable of that name is the one the shell ran; an empty entry
    // is the working directory.
    std::size_t start = 0;
    while (start <= searchPath.size()) {
        std::size_t end = searchPath.find(':', start);
        if (end == std::string_view::npos)
            end = searchPath.size();
        const fs::path entry(searchPath.substr(start, end - start));
        const fs::path candidate = (workingDirectory / entry / fs::path(argv0)).lexically_normal();
        const fs::perms permissions = fs::status(candidate, error).permissions();
        const bool executable =
            !error && fs::is_regular_file(candidate, error) &&
            (permissions & (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec)) != fs::perms::none;
        if (executable)
            return isSelf(candidate) ? std::optional<fs::path>(candidate) : std::nullopt;
        start = end + 1;
    }
    return std::nullopt;
}

std::u16string ReadIniValue(const std::u16string& fileName, const std::u16string& section, const std::u16string& key) {
    std::vector<std::uint8_t> file;
    if (!modFileStreams::ReadWholeFile(fileName, file))
        return {};
    return ini_file::ReadValue(file, section, key);
}

} // namespace modPublicVars
