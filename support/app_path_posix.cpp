#include "support/public_vars.h"
#include "support/text_path.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>

namespace modPublicVars {

namespace {

namespace fs = std::filesystem;

// Where the kernel says our executable is, every link resolved.
fs::path ResolvedExecutable() {
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : executable;
}

std::mutex g_recordedMutex;
std::optional<fs::path> g_recorded;
bool g_haveRecorded = false;

std::optional<fs::path> FromArgv0(std::string_view argv0) {
    std::error_code error;
    const fs::path workingDirectory = fs::current_path(error);
    if (error)
        return std::nullopt;
    const char* searchPath = std::getenv("PATH");
    // execvp's search path when PATH is unset.
    return StartedThrough(argv0, workingDirectory, searchPath ? searchPath : "/bin:/usr/bin", ResolvedExecutable());
}

std::optional<fs::path> StartPath() {
    {
        const std::lock_guard lock(g_recordedMutex);
        if (g_haveRecorded)
            return g_recorded;
    }
    // Nothing recorded: argv[0] as the kernel kept it, against today's working directory.
    std::ifstream commandLine("/proc/self/cmdline", std::ios::binary);
    std::string argv0;
    if (!commandLine || !std::getline(commandLine, argv0, '\0'))
        return std::nullopt;
    return FromArgv0(argv0);
}

std::u16string AsDirectory(const fs::path& directory) {
    std::u16string text = TextFromPath(directory);
    if (text.empty() || text.back() != u'/')
        text.push_back(u'/');
    return text;
}

} // namespace

void RecordStartPath(const char* argv0) {
    std::optional<fs::path> started = argv0 ? FromArgv0(argv0) : std::nullopt;
    const std::lock_guard lock(g_recordedMutex);
    g_recorded = std::move(started);
    g_haveRecorded = argv0 != nullptr;
}

std::vector<std::u16string> GetAppPaths() {
    std::vector<std::u16string> paths;
    if (const auto started = StartPath())
        paths.push_back(AsDirectory(started->parent_path()));
    const fs::path resolved = ResolvedExecutable();
    if (!resolved.empty()) {
        const std::u16string directory = AsDirectory(resolved.parent_path());
        if (paths.empty() || paths.front() != directory)
            paths.push_back(directory);
    }
    if (paths.empty())
        paths.push_back(u"./");
    return paths;
}

std::u16string GetAppPath() {
    return GetAppPaths().front();
}

} // namespace modPublicVars
