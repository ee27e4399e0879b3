#include "support/native_path.h"

#include "support/file_probe.h"
#include "support/text_path.h"
#include "support/utf8_convert.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace native_path {

std::u16string WinePrefix() {
    // A relative prefix is handed on as it is: Wine refuses one, and so does the registry reader.
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix && prefix[0] != '\0')
        return modUtf8Convert::Utf8ToText(prefix);
    const char* home = std::getenv("HOME");
    std::string homeDir = home && home[0] ? home : "";
    if (homeDir.empty()) {
        if (const passwd* entry = ::getpwuid(::getuid()))
            homeDir = entry->pw_dir;
    }
    return modUtf8Convert::Utf8ToText(homeDir + "/.wine");
}

std::u16string FromWindowsPath(const std::u16string& windowsPath) {
    const bool drivePath =
        windowsPath.size() >= 3 && windowsPath[1] == u':' && windowsPath[2] == u'\\' &&
        ((windowsPath[0] >= u'A' && windowsPath[0] <= u'Z') || (windowsPath[0] >= u'a' && windowsPath[0] <= u'z'));
    if (!drivePath)
        return windowsPath;

    char16_t drive = windowsPath[0];
    if (drive <= u'Z')
        drive = static_cast<char16_t>(drive + 32);
    std::u16string result = WinePrefix() + u"/dosdevices/" + drive + u":";
    // Walk the components: each one that does not exist with its exact name is matched ignoring
    // case in its directory, as Wine does; once one is missing the rest stays as written.
    fs::path current = PathFromText(result);
    bool resolving = true;
    std::size_t start = 3;
    while (start <= windowsPath.size()) {
        std::size_t end = windowsPath.find(u'\\', start);
        if (end == std::u16string::npos)
            end = windowsPath.size();
        std::u16string component = windowsPath.substr(start, end - start);
        if (!component.empty() && resolving) {
            if (auto found = file_probe::FindEntryIgnoringCase(current, component)) {
                component = TextFromPath(found->filename());
                current = *found;
            } else {
                resolving = false;
            }
        }
        result += u'/';
        result += component;
        start = end + 1;
    }
    return result;
}

} // namespace native_path
