#include "support/durable_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace durable {
namespace {

bool FsyncPath(const std::filesystem::path& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

} // namespace

bool CreateFileDurably(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::size_t written = 0;
    bool ok = true;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok)
        ::unlink(path.c_str());
    return ok;
}

bool SyncFile(const std::filesystem::path& path) {
    return FsyncPath(path, O_RDONLY);
}

bool SyncDirectory(const std::filesystem::path& directory) {
    return FsyncPath(directory.empty() ? std::filesystem::path(".") : directory, O_RDONLY | O_DIRECTORY);
}

bool ReplaceFile(const std::filesystem::path& source, const std::filesystem::path& target) {
    return std::rename(source.c_str(), target.c_str()) == 0;
}

bool IsReadOnly(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return false;
    // A file with no write bit counts as read-only even for root, as the read-only attribute does.
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return true;
    return ::access(path.c_str(), W_OK) != 0 && errno == EACCES;
}

} // namespace durable
