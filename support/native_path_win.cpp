#include "support/native_path.h"

namespace native_path {

std::u16string WinePrefix() {
    return {};
}

std::u16string FromWindowsPath(const std::u16string& windowsPath) {
    return windowsPath;
}

} // namespace native_path
