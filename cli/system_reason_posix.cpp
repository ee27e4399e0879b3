#include "cli/system_reason.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {
namespace {

std::string Text(int error) {
    return std::strerror(error);
}

std::string ParentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

std::string ReasonFileUnreadable(const std::string& utf8Path) {
    if (utf8Path.empty())
        return Text(ENOENT);
    const int fd = ::open(utf8Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Text(errno);
    // A directory opens; reading it is what fails.
    char byte = 0;
    const bool failed = ::read(fd, &byte, 1) < 0;
    const int error = errno;
    ::close(fd);
    return failed ? Text(error) : std::string();
}

std::string ReasonFileUnwritable(const std::string& utf8Path) {
    if (utf8Path.empty())
        return Text(ENOENT);
    struct stat target {};
    if (::stat(utf8Path.c_str(), &target) == 0) {
        if (S_ISDIR(target.st_mode))
            return Text(EISDIR);
        // The new content replaces the file through a file beside it, so the directory must be writable too.
        if (::access(utf8Path.c_str(), W_OK) != 0)
            return Text(errno);
    } else if (errno != ENOENT) {
        return Text(errno);
    }
    const std::string parent = ParentOf(utf8Path);
    struct stat directory {};
    if (::stat(parent.c_str(), &directory) != 0)
        return Text(errno);
    if (!S_ISDIR(directory.st_mode))
        return Text(ENOTDIR);
    if (::access(parent.c_str(), W_OK) != 0)
        return Text(errno);
    return {};
}

std::string ReasonOfLastError() {
    return Text(errno);
}

} // namespace cli
