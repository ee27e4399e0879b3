#include "support/durable_file.h"

#include "support/io_seam.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace durable {
namespace {

using io_seam::Kind;

bool FsyncPath(const std::filesystem::path& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

class PosixNewFile final : public NewFile {
public:
    PosixNewFile(std::filesystem::path path, int fd, bool device = false)
        : m_path(std::move(path)), m_fd(fd), m_device(device) {}
    ~PosixNewFile() override { ::close(m_fd); }

    bool Append(std::span<const std::uint8_t> bytes) override {
        if (bytes.empty())
            return true;
        return io_seam::Observed({Kind::Write, m_path, nullptr, m_size, bytes},
                                 [&](std::span<const std::uint8_t> part) {
                                     std::size_t written = 0;
                                     while (written < part.size()) {
                                         const ssize_t n = ::write(m_fd, part.data() + written, part.size() - written);
                                         if (n < 0 && errno == EINTR)
                                             continue;
                                         if (n <= 0)
                                             break;
                                         written += static_cast<std::size_t>(n);
                                         m_size += static_cast<std::uint64_t>(n);
                                     }
                                     return written == part.size();
                                 });
    }

    bool Sync() override {
        // A pipe or a terminal has nothing on disk to flush (fsync refuses them with EINVAL).
        if (m_device)
            return true;
        return io_seam::Observed({Kind::Sync, m_path}, [&](auto) { return ::fsync(m_fd) == 0; });
    }

private:
    std::filesystem::path m_path;
    int m_fd;
    bool m_device;
    std::uint64_t m_size = 0;
};

} // namespace

std::unique_ptr<NewFile> NewFile::Create(const std::filesystem::path& path, bool* nameTaken) {
    int fd = -1;
    io_seam::Observed({Kind::Create, path}, [&](auto) {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        return fd >= 0;
    });
    if (nameTaken != nullptr)
        *nameTaken = fd < 0 && errno == EEXIST;
    if (fd < 0)
        return nullptr;
    return std::make_unique<PosixNewFile>(path, fd);
}

std::unique_ptr<NewFile> OpenDevice(const std::filesystem::path& path) {
    // Without O_NONBLOCK a FIFO with no reader would block the open for good, with the archive's
    // lock held; with it, such an open fails with ENXIO. Writes then block as they normally do.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info {};
    const int flags = ::fcntl(fd, F_GETFL);
    // The name may have been given to a regular file since it was looked at: written here without
    // being emptied, it would keep a tail of its old content.
    if (::fstat(fd, &info) != 0 || S_ISREG(info.st_mode) || S_ISDIR(info.st_mode) || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixNewFile>(path, fd, true);
}

std::unique_ptr<NewFile> OpenOwnOutput(const std::filesystem::path& path, int standardStream) {
    const int fd = ::fcntl(standardStream, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    return std::make_unique<PosixNewFile>(path, fd);
}

WriteTarget ResolveWriteTarget(const std::filesystem::path& path) {
    using K = WriteTarget::Kind;
    struct stat name {};
    if (::lstat(path.c_str(), &name) != 0)
        return {K::Missing, path};
    struct stat info {};
    // stat follows the links; /dev/stdout -> /proc/self/fd/1 -> "pipe:[...]" resolves only this way.
    if (::stat(path.c_str(), &info) != 0)
        return {K::Dangling, path};
    if (S_ISDIR(info.st_mode))
        return {K::Directory, path};
    if (!S_ISREG(info.st_mode))
        return {K::Device, path};
    for (const int stream : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat own {};
        if (::fstat(stream, &own) == 0 && own.st_dev == info.st_dev && own.st_ino == info.st_ino)
            return {K::OwnOutput, path, stream};
    }
    if (!S_ISLNK(name.st_mode))
        return {K::Regular, path};
    // The new file is made beside the link's final target and renamed over it, so the link stays.
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return {K::Dangling, path};
    std::filesystem::path resolved(real);
    std::free(real);
    return {K::Regular, std::move(resolved)};
}

bool SyncFile(const std::filesystem::path& path) {
    return io_seam::Observed({Kind::Sync, path}, [&](auto) { return FsyncPath(path, O_RDONLY); });
}

bool SyncDirectory(const std::filesystem::path& directory) {
    const std::filesystem::path path = directory.empty() ? std::filesystem::path(".") : directory;
    return io_seam::Observed({Kind::SyncDirectory, path},
                             [&](auto) { return FsyncPath(path, O_RDONLY | O_DIRECTORY); });
}

bool ReplaceFile(const std::filesystem::path& source, const std::filesystem::path& target) {
    return io_seam::Observed({Kind::Rename, source, &target},
                             [&](auto) { return std::rename(source.c_str(), target.c_str()) == 0; });
}

bool LinkFile(const std::filesystem::path& existing, const std::filesystem::path& link) {
    return io_seam::Observed({Kind::Link, existing, &link},
                             [&](auto) { return ::link(existing.c_str(), link.c_str()) == 0; });
}

bool RemoveFile(const std::filesystem::path& path) {
    return io_seam::Observed({Kind::Remove, path},
                             [&](auto) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; });
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
