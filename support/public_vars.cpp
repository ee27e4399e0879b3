#include "support/public_vars.h"

#include "support/file_streams.h"
#include "support/ini_file.h"

namespace modPublicVars {

std::u16string GamePath;
std::u16string MpqName;

std::u16string ReadIniValue(const std::u16string& fileName, const std::u16string& section, const std::u16string& key) {
    std::vector<std::uint8_t> file;
    if (!modFileStreams::ReadWholeFile(fileName, file))
        return {};
    return ini_file::ReadValue(file, section, key);
}

} // namespace modPublicVars
