#include "support/public_vars.h"
#include "support/text_path.h"

#include <filesystem>

namespace modPublicVars {

std::u16string GetAppPath() {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return u"./";
    std::u16string directory = TextFromPath(executable.parent_path());
    if (directory.empty() || directory.back() != u'/')
        directory.push_back(u'/');
    return directory;
}

} // namespace modPublicVars
